#include "RelayProtocol.h"

#include "platform/LocalSocket.h"

#include <cerrno>
#include <charconv>
#include <limits>
#include <type_traits>

namespace qz::intercept {
namespace {

using platform::Fail;
using platform::Result;

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

tl::unexpected<platform::Failure> Malformed(const std::string& why) {
    return Fail(EPROTO, "malformed relay message: " + why);
}

/// A decimal number without sign or leading zeros (a lone "0" is fine) in [0, limit].
bool ParseNumber(std::string_view text, long long limit, long long& value) {
    if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= limit;
}

bool IsAbsolutePath(std::string_view text) {
    return !text.empty() && text[0] == '/';
}

/// RUN and ASK, which carry the same fields.
template <class Kind>
Result<Message> ParseRun(const std::vector<std::string>& f) {
    const std::string& name = f[0];
    if (f.size() < 6) {
        return Malformed(name + " has " + std::to_string(f.size()) + " fields");
    }
    if (f[1] != kProtocolVersion) {
        return Malformed(name + " of protocol version \"" + f[1] + "\"");
    }
    long long pid = 0;
    long long argc = 0;
    if (!ParseNumber(f[2], std::numeric_limits<int>::max(), pid) || pid == 0) {
        return Malformed(name + " with pid \"" + f[2] + "\"");
    }
    if (!IsAbsolutePath(f[3]) || !IsAbsolutePath(f[4])) {
        return Malformed(name + " with a relative folder or program");
    }
    if (!ParseNumber(f[5], std::numeric_limits<int>::max(), argc) || argc < 1 ||
        static_cast<std::size_t>(argc) != f.size() - 6) {
        return Malformed(name + " with argc \"" + f[5] + "\" and " + std::to_string(f.size() - 6) +
                         " arguments");
    }
    Kind run;
    run.pid = static_cast<int>(pid);
    run.cwd = f[3];
    run.program = f[4];
    run.argv.assign(f.begin() + 6, f.end());
    return run;
}

std::vector<std::string> RunFields(std::string kind, const RunMessage& m) {
    std::vector<std::string> f{
        std::move(kind), std::string(kProtocolVersion), std::to_string(m.pid), m.cwd,
        m.program,       std::to_string(m.argv.size())};
    f.insert(f.end(), m.argv.begin(), m.argv.end());
    return f;
}

Result<Message> ParseRemote(const std::vector<std::string>& f) {
    long long count = 0;
    if (f.size() < 4 || !ParseNumber(f[3], std::numeric_limits<int>::max(), count) || count < 1 ||
        static_cast<std::size_t>(count) != f.size() - 4) {
        return Malformed("REMOTE without a counted prefix");
    }
    if (f[1].empty() || f[2].empty()) {
        return Malformed("REMOTE without step or node");
    }
    RemoteMessage remote;
    remote.step = f[1];
    remote.node = f[2];
    remote.prefix.assign(f.begin() + 4, f.end());
    return remote;
}

/// "exit" and a code 0-255, or "signal" and a signal 1-64.
Result<std::pair<bool, int>> ParseEnd(const std::string& name, const std::string& kind,
                                      const std::string& text) {
    long long number = 0;
    if (kind == "exit") {
        if (!ParseNumber(text, 255, number)) {
            return Malformed(name + " with exit code \"" + text + "\"");
        }
        return std::pair<bool, int>{false, static_cast<int>(number)};
    }
    if (kind == "signal") {
        if (!ParseNumber(text, 64, number) || number == 0) {
            return Malformed(name + " with signal \"" + text + "\"");
        }
        return std::pair<bool, int>{true, static_cast<int>(number)};
    }
    return Malformed(name + " of kind \"" + kind + "\"");
}

Result<Message> ParseDone(const std::vector<std::string>& f) {
    if (f.size() != 4 || f[1].empty()) {
        return Malformed("DONE needs a step, a kind and a number");
    }
    auto end = ParseEnd("DONE", f[2], f[3]);
    if (!end) {
        return tl::unexpected(end.error());
    }
    return DoneMessage{f[1], end->first, end->second};
}

Result<Message> ParseReaped(const std::vector<std::string>& f) {
    long long pid = 0;
    if (f.size() != 5 || f[1].empty() || !ParseNumber(f[2], std::numeric_limits<int>::max(), pid) ||
        pid < 2) {
        return Malformed("REAPED needs a step, a process id, a kind and a number");
    }
    auto end = ParseEnd("REAPED", f[3], f[4]);
    if (!end) {
        return tl::unexpected(end.error());
    }
    return ReapedMessage{f[1], static_cast<int>(pid), end->first, end->second};
}

} // namespace

std::vector<std::string> FieldsOf(const Message& message) {
    return std::visit(
        Overloaded{
            [](const RunMessage& m) { return RunFields("RUN", m); },
            [](const AskMessage& m) { return RunFields("ASK", m); },
            [](const BusyMessage&) { return std::vector<std::string>{"BUSY"}; },
            [](const StartedMessage& m) {
                return std::vector<std::string>{"STARTED", m.step, std::to_string(m.pid)};
            },
            [](const HandoffMessage& m) {
                return std::vector<std::string>{"HANDOFF", m.step, std::to_string(m.pid),
                                                std::to_string(m.index)};
            },
            [](const ReapedMessage& m) {
                return std::vector<std::string>{"REAPED", m.step, std::to_string(m.pid),
                                                m.signalled ? "signal" : "exit",
                                                std::to_string(m.number)};
            },
            [](const LocalMessage& m) {
                return std::vector<std::string>{"LOCAL", m.reason};
            },
            [](const SlotMessage& m) {
                return std::vector<std::string>{"SLOT", m.step};
            },
            [](const RemoteMessage& m) {
                std::vector<std::string> f{"REMOTE", m.step, m.node,
                                           std::to_string(m.prefix.size())};
                f.insert(f.end(), m.prefix.begin(), m.prefix.end());
                return f;
            },
            [](const DoneMessage& m) {
                return std::vector<std::string>{"DONE", m.step, m.signalled ? "signal" : "exit",
                                                std::to_string(m.number)};
            },
            [](const RetryMessage& m) {
                return std::vector<std::string>{"RETRY", m.step, m.reason};
            },
            [](const NoteMessage& m) {
                return std::vector<std::string>{"NOTE", m.text};
            },
        },
        message);
}

Result<Message> ParseFields(const std::vector<std::string>& f) {
    if (f.empty()) {
        return Malformed("no kind");
    }
    const std::string& kind = f[0];
    if (kind == "RUN") {
        return ParseRun<RunMessage>(f);
    }
    if (kind == "ASK") {
        return ParseRun<AskMessage>(f);
    }
    if (kind == "HANDOFF") {
        long long pid = 0;
        long long index = 0;
        if (f.size() != 4 || f[1].empty() ||
            !ParseNumber(f[2], std::numeric_limits<int>::max(), pid) || pid < 2 ||
            !ParseNumber(f[3], static_cast<long long>(kExecRuns) - 1, index)) {
            return Malformed("HANDOFF needs a step, a process id and an entry");
        }
        return HandoffMessage{f[1], static_cast<int>(pid), static_cast<int>(index)};
    }
    if (kind == "REAPED") {
        return ParseReaped(f);
    }
    if (kind == "BUSY") {
        if (f.size() != 1) {
            return Malformed("BUSY has " + std::to_string(f.size()) + " fields");
        }
        return BusyMessage{};
    }
    if (kind == "STARTED") {
        long long pid = 0;
        if (f.size() != 3 || f[1].empty() ||
            !ParseNumber(f[2], std::numeric_limits<int>::max(), pid) || pid < 2) {
            return Malformed("STARTED needs a step and a process id");
        }
        return StartedMessage{f[1], static_cast<int>(pid)};
    }
    if (kind == "REMOTE") {
        return ParseRemote(f);
    }
    if (kind == "DONE") {
        return ParseDone(f);
    }
    if (kind == "LOCAL" || kind == "NOTE") {
        if (f.size() != 2) {
            return Malformed(kind + " has " + std::to_string(f.size()) + " fields");
        }
        if (kind == "LOCAL") {
            return LocalMessage{f[1]};
        }
        return NoteMessage{f[1]};
    }
    if (kind == "SLOT") {
        if (f.size() != 2 || f[1].empty()) {
            return Malformed("SLOT needs one step");
        }
        return SlotMessage{f[1]};
    }
    if (kind == "RETRY") {
        if (f.size() != 3 || f[1].empty()) {
            return Malformed("RETRY needs a step and a reason");
        }
        return RetryMessage{f[1], f[2]};
    }
    return Malformed("unknown kind \"" + kind.substr(0, 32) + "\"");
}

Result<std::string> EncodeFrame(const std::vector<std::string>& fields) {
    if (fields.empty()) {
        return Fail(EINVAL, "a relay message needs a kind");
    }
    std::size_t size = 0;
    for (const std::string& field : fields) {
        if (field.find('\0') != std::string::npos) {
            return Fail(EINVAL, "a relay message string holds a NUL byte");
        }
        size += field.size() + 1;
        if (size > kMaxFramePayload) {
            return Fail(EMSGSIZE, "a relay message over 4 MiB");
        }
    }
    std::string frame;
    frame.reserve(4 + size);
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<char>((size >> shift) & 0xff));
    }
    for (const std::string& field : fields) {
        frame.append(field);
        frame.push_back('\0');
    }
    return frame;
}

Result<std::vector<std::string>> DecodePayload(std::string_view payload) {
    if (payload.empty() || payload.back() != '\0') {
        return Malformed("payload not ended by NUL");
    }
    std::vector<std::string> fields;
    std::size_t begin = 0;
    while (begin < payload.size()) {
        std::size_t end = payload.find('\0', begin);
        fields.emplace_back(payload.substr(begin, end - begin));
        begin = end + 1;
    }
    return fields;
}

std::size_t DecodeLength(const unsigned char header[4]) {
    return static_cast<std::size_t>(header[0]) | (static_cast<std::size_t>(header[1]) << 8) |
           (static_cast<std::size_t>(header[2]) << 16) |
           (static_cast<std::size_t>(header[3]) << 24);
}

Result<> WriteMessage(platform::THandle connection, const Message& message) {
    auto frame = EncodeFrame(FieldsOf(message));
    if (!frame) {
        return tl::unexpected(frame.error());
    }
    return platform::SendAll(connection, frame->data(), frame->size());
}

Result<Message> ReadMessage(platform::THandle connection) {
    unsigned char header[4];
    auto got = platform::ReceiveExact(connection, header, sizeof(header));
    if (!got) {
        return tl::unexpected(got.error());
    }
    if (*got != sizeof(header)) {
        return Fail(ECONNRESET, "relay connection closed");
    }
    std::size_t size = DecodeLength(header);
    if (size > kMaxFramePayload) {
        return Fail(EMSGSIZE, "relay frame of " + std::to_string(size) + " bytes");
    }
    if (size == 0) {
        return Malformed("empty payload");
    }
    std::string payload(size, '\0');
    got = platform::ReceiveExact(connection, payload.data(), size);
    if (!got) {
        return tl::unexpected(got.error());
    }
    if (*got != size) {
        return Fail(ECONNRESET, "relay connection closed inside a frame");
    }
    auto fields = DecodePayload(payload);
    if (!fields) {
        return tl::unexpected(fields.error());
    }
    return ParseFields(*fields);
}

std::string_view KindOf(const Message& message) {
    static constexpr std::string_view kKinds[] = {"RUN",  "LOCAL",   "SLOT",    "REMOTE",
                                                  "DONE", "RETRY",   "NOTE",    "ASK",
                                                  "BUSY", "STARTED", "HANDOFF", "REAPED"};
    return kKinds[message.index()];
}

} // namespace qz::intercept
