#include "InterceptBroker.h"

#include "JobFile.h"
#include "RelayProtocol.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/LocalSocket.h"
#include "platform/MemoryMap.h"
#include "platform/NativeThread.h"
#include "platform/Pipe.h"
#include "platform/ProcessAncestry.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <deque>
#include <map>
#include <mutex>

namespace qz::tasksmith {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kMaxConnections = 4096;
// A relay sends its RUN as soon as it has connected; a connection that has not within this
// time holds a descriptor for nothing and is dropped.
constexpr int kRunLimitMs = 10000;
// Out of descriptors with no connection of ours to wait for: the next try to accept.
constexpr int kAcceptRetryMs = 100;
// A direct run's tool has ended, but the process that started it has not waited for it (and
// so not reported its end) within this time: the step ends lost, and its slot is free again.
constexpr int kReapGraceMs = 2000;
// REAPED reports kept for a HANDOFF not read yet.
constexpr std::size_t kEarlyReports = 1024;

using platform::kInvalidHandle;
using platform::THandle;

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "gcc main.o": the tool and what it makes (the argument after "-o"), else its last argument.
std::string CaptionOf(const std::string& program, const std::vector<std::string>& arguments) {
    std::string object;
    for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "-o") {
            object = arguments[i + 1];
        }
    }
    if (object.empty() && arguments.size() > 1) {
        object = arguments.back();
    }
    return object.empty() ? BaseName(program) : BaseName(program) + " " + object;
}

bool Below(const std::string& folder, const std::string& root) {
    if (root.empty()) {
        return false;
    }
    if (folder == root) {
        return true;
    }
    std::string prefix = root.back() == '/' ? root : root + "/";
    return folder.starts_with(prefix);
}

enum class Phase {
    AwaitRun,  ///< nothing received yet
    Waiting,   ///< waits for a slot
    InSlot,    ///< runs in a slot; DONE or RETRY to come
    Reaping,   ///< a direct run's tool has ended; DONE to come when its parent has waited
    HandedOff, ///< the run went on in the asking process's exec; DONE only if the exec failed
    Retried,   ///< runs here after a failed remote placement; DONE to come
    Answered,  ///< LOCAL sent; the connection is closed once sent
};

struct Connection {
    THandle handle = kInvalidHandle;
    std::string input;
    Phase phase = Phase::AwaitRun;
    std::uint64_t accepted = 0; ///< when it was accepted (its RUN is due kRunLimitMs later)
    std::uint64_t arrival = 0;
    std::uint64_t deadline = 0;
    int waitSeconds = 0;
    int step = 0;
    int slot = -1;     ///< local slots from 0, remote after them
    int lastSlot = -1; ///< the slot the run was given (kept once it is free again)
    /// Asked with ASK: the process that spawns the tool starts it itself and reports its end.
    bool direct = false;
    /// A direct run's tool, from STARTED until it ends.
    THandle process = kInvalidHandle;
    /// A handed-off run: its process and its entry of the runs table.
    int pid = 0;
    int entry = -1;
    bool remoteAllowed = false;
    std::string program;
    std::string folder;
    std::vector<std::string> arguments;
    std::string caption;
};

} // namespace

int TakeFrame(std::string& buffer, std::string& payload) {
    if (buffer.size() < 4) {
        return 0;
    }
    const std::size_t size =
        intercept::DecodeLength(reinterpret_cast<const unsigned char*>(buffer.data()));
    if (size > intercept::kMaxFramePayload) {
        return -1;
    }
    if (buffer.size() < 4 + size) {
        return 0;
    }
    payload.assign(buffer, 4, size);
    buffer.erase(0, 4 + size);
    return 1;
}

struct InterceptBroker::State {
    BrokerSettings settings;
    THandle listener = kInvalidHandle;
    platform::PipeEnds wake;
    std::unique_ptr<platform::NativeThread> thread;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    std::vector<BrokerEvent> events;
    Counts counts;

    // Owned by the broker's thread.
    std::map<THandle, Connection> connections;
    /// Runs handed off by processes that replaced themselves by their tool, by step.
    std::map<int, Connection> detached;
    /// REAPED reports read before their run's HANDOFF (two connections, read in any order), by
    /// step; the oldest go beyond kEarlyReports.
    std::map<int, intercept::ReapedMessage> earlyReports;
    /// The runs table (kExecRuns entries of pid and step); unmapped when it could not be made.
    platform::File runsFile;
    platform::MappedView runsView;
    std::deque<THandle> queue;
    std::vector<bool> localBusy;
    std::vector<bool> remoteBusy;
    std::vector<bool> remoteLost;
    int nextStep = 0;
    int running = 0;
    // Accepting waits (the listener is left out of the wait) while every connection we may hold
    // is open, or until this time after the system had no descriptor left: the relays then wait
    // in the socket's backlog instead of being turned away to run uncounted.
    bool acceptPaused = false;
    std::uint64_t acceptRetry = 0;

    int LocalSlots() const { return static_cast<int>(localBusy.size()); }

    void Post(BrokerEvent event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }

    void Line(const std::string& text) {
        BrokerEvent event;
        event.kind = BrokerEvent::Kind::Line;
        event.text = text;
        Post(std::move(event));
    }

    void UpdateCounts(int refusedMore = 0) {
        std::lock_guard lock(mutex);
        counts.running = running;
        counts.mostRunning = std::max(counts.mostRunning, running);
        counts.waiting = static_cast<int>(queue.size());
        counts.connections = static_cast<int>(connections.size());
        counts.refused += refusedMore;
    }

    void FreeSlot(Connection& c) {
        if (c.slot < 0) {
            return;
        }
        if (c.slot < LocalSlots()) {
            localBusy[static_cast<std::size_t>(c.slot)] = false;
        } else {
            remoteBusy[static_cast<std::size_t>(c.slot - LocalSlots())] = false;
        }
        c.slot = -1;
        --running;
    }

    void EndStep(Connection& c, int exitCode, bool lost) {
        BrokerEvent event;
        event.kind = BrokerEvent::Kind::Ended;
        event.step = c.step;
        event.slot = c.lastSlot;
        event.remote = c.lastSlot >= LocalSlots();
        event.caption = c.caption;
        event.exitCode = exitCode;
        event.lost = lost;
        Post(std::move(event));
    }

    // Ends a connection: what it held is freed (a counted run that did not report its end is
    // a lost step).
    void Drop(THandle handle, bool malformed) {
        auto it = connections.find(handle);
        if (it == connections.end()) {
            return;
        }
        Connection& c = it->second;
        if (c.phase == Phase::InSlot || c.phase == Phase::Reaping) {
            EndStep(c, 1, true);
            FreeSlot(c);
        }
        if (c.process != kInvalidHandle) {
            platform::CloseHandle(c.process);
        }
        queue.erase(std::remove(queue.begin(), queue.end(), handle), queue.end());
        connections.erase(it);
        acceptPaused = false;
        // Counted before the relay can see the end.
        UpdateCounts(malformed ? 1 : 0);
        platform::CloseHandle(handle);
    }

    // A reply is small and the only one on its connection: it fits the socket's buffer, so a
    // non-blocking send completes (a relay that has gone is dropped).
    bool Send(THandle handle, const intercept::Message& message) {
        auto frame = intercept::EncodeFrame(intercept::FieldsOf(message));
        return frame && platform::SendAll(handle, frame->data(), frame->size()).has_value();
    }

    void AnswerLocal(THandle handle, const std::string& reason) {
        Send(handle, intercept::LocalMessage{reason});
        Drop(handle, false);
    }

    // Takes a RUN's or an ASK's fields; the profile's tool of a counted run, null otherwise.
    const InterceptTool* Describe(Connection& c, const intercept::RunMessage& run) {
        c.folder = run.cwd;
        c.program = run.program;
        c.arguments = run.argv;
        ToolDecision decision = DecideRun(settings.profile, c.program, c.arguments);
        if (!decision.counted) {
            return nullptr;
        }
        c.remoteAllowed = decision.remote && Below(c.folder, settings.sharedRoot);
        c.caption = CaptionOf(c.program, c.arguments);
        return &settings.profile.tools[static_cast<std::size_t>(decision.tool)];
    }

    int FreeLocalSlot() const {
        for (int s = 0; s < LocalSlots(); ++s) {
            if (!localBusy[static_cast<std::size_t>(s)]) {
                return s;
            }
        }
        return -1;
    }

    void HandleRun(THandle handle, Connection& c, const intercept::RunMessage& run) {
        const InterceptTool* found = Describe(c, run);
        if (found == nullptr) {
            AnswerLocal(handle, "");
            return;
        }
        const InterceptTool& tool = *found;
        c.phase = Phase::Waiting;
        c.arrival = platform::MonotonicMilliseconds();
        const std::uint64_t limit = settings.waitLimitMs > 0
                                        ? static_cast<std::uint64_t>(settings.waitLimitMs)
                                        : static_cast<std::uint64_t>(tool.waitSeconds) * 1000;
        c.waitSeconds = static_cast<int>(limit / 1000);
        c.deadline = c.arrival + limit;
        queue.push_back(handle);
        UpdateCounts();
    }

    // The spawning process asks: a counted run takes a local slot that is free now (when no
    // relay waits before it); it never waits here, for the asking process is the build tool.
    void HandleAsk(THandle handle, Connection& c, const intercept::AskMessage& ask) {
        if (Describe(c, ask) == nullptr) {
            AnswerLocal(handle, "");
            return;
        }
        const int slot = queue.empty() ? FreeLocalSlot() : -1;
        if (slot < 0) {
            Send(handle, intercept::BusyMessage{});
            c.phase = Phase::Answered;
            Drop(handle, false);
            return;
        }
        c.direct = true;
        Give(handle, c, slot);
    }

    // A direct run's tool runs. Its step ends, and its slot is freed, with the DONE its parent
    // sends once it has waited for it: a slot is a lane of the monitor, whose next step may only
    // begin when the last has ended with its code.
    void HandleStarted(THandle handle, Connection& c, const intercept::StartedMessage& started) {
        if (started.step != std::to_string(c.step) || !c.direct || c.process != kInvalidHandle) {
            Drop(handle, true);
            return;
        }
        auto process = platform::OpenProcessEndHandle(started.pid);
        if (process) {
            c.process = *process;
        } else if (process.error().code == ESRCH) {
            ToolEnded(c); // gone already
        }
        // Otherwise (no descriptor left) the run ends with its DONE, or when its build tool goes.
    }

    // The process that asked replaces itself by the tool: the run is detached from the
    // connection, which closes with the exec, and ends with the REAPED its parent sends.
    void HandleHandoff(THandle handle, Connection& c, const intercept::HandoffMessage& handoff) {
        if (handoff.step != std::to_string(c.step) || !c.direct || c.process != kInvalidHandle ||
            runsView.Address() == nullptr) {
            Drop(handle, true);
            return;
        }
        Connection run = c;
        run.handle = kInvalidHandle;
        run.input.clear();
        run.pid = handoff.pid;
        run.entry = handoff.index;
        auto process = platform::OpenProcessEndHandle(handoff.pid);
        if (process) {
            run.process = *process;
        }
        auto [it, inserted] = detached.emplace(run.step, std::move(run));
        c.slot = -1;
        c.phase = Phase::HandedOff;
        if (auto early = earlyReports.find(it->first);
            early != earlyReports.end() && early->second.pid == it->second.pid) {
            const intercept::ReapedMessage reaped = early->second;
            earlyReports.erase(early);
            EndDetached(it, reaped.signalled ? 128 + reaped.number : reaped.number, false);
        } else if (!process && process.error().code == ESRCH) {
            ToolEnded(it->second);
        }
    }

    // Ends a detached run: its step, its slot, its entry of the runs table, its process handle.
    void EndDetached(std::map<int, Connection>::iterator it, int exitCode, bool lost) {
        Connection& run = it->second;
        // The entry is free before anyone learns that the step has ended.
        if (run.entry >= 0 && runsView.Address() != nullptr) {
            auto* words = reinterpret_cast<std::int32_t*>(runsView.Address());
            std::int32_t expected = run.pid;
            std::atomic_ref<std::int32_t>(words[2 * run.entry])
                .compare_exchange_strong(expected, 0);
        }
        EndStep(run, exitCode, lost);
        FreeSlot(run);
        if (run.process != kInvalidHandle) {
            platform::CloseHandle(run.process);
        }
        detached.erase(it);
        UpdateCounts();
    }

    // The parent of a handed-off run has reaped it; nothing more comes on this connection.
    void HandleReaped(THandle handle, const intercept::ReapedMessage& reaped) {
        auto it = detached.begin();
        while (it != detached.end() &&
               (std::to_string(it->first) != reaped.step || it->second.pid != reaped.pid)) {
            ++it;
        }
        if (it != detached.end()) {
            EndDetached(it, reaped.signalled ? 128 + reaped.number : reaped.number, false);
        } else if (int step = 0; std::from_chars(reaped.step.data(),
                                                 reaped.step.data() + reaped.step.size(), step)
                                         .ec == std::errc() &&
                                 step > 0 && step <= nextStep) {
            // Its HANDOFF may not have been read yet.
            earlyReports[step] = reaped;
            if (earlyReports.size() > kEarlyReports) {
                earlyReports.erase(earlyReports.begin());
            }
        }
        Drop(handle, false);
    }

    // The tool has ended: its parent has a little time to wait for it and report how.
    void ToolEnded(Connection& c) {
        if (c.process != kInvalidHandle) {
            platform::CloseHandle(c.process);
            c.process = kInvalidHandle;
        }
        if (c.phase == Phase::InSlot) {
            c.phase = Phase::Reaping;
            c.deadline = platform::MonotonicMilliseconds() +
                         static_cast<std::uint64_t>(settings.reapGraceMs > 0 ? settings.reapGraceMs
                                                                             : kReapGraceMs);
        }
    }

    void HandleDone(THandle handle, Connection& c, const intercept::DoneMessage& done) {
        if (done.step != std::to_string(c.step) || done.number < 0 || done.number > 255) {
            Drop(handle, true);
            return;
        }
        if (c.phase == Phase::HandedOff) {
            // The exec failed: the process goes on as itself.
            if (auto it = detached.find(c.step); it != detached.end()) {
                EndDetached(it, done.signalled ? 128 + done.number : done.number, false);
            }
        } else if (c.phase == Phase::InSlot || c.phase == Phase::Reaping) {
            EndStep(c, done.signalled ? 128 + done.number : done.number, false);
            FreeSlot(c);
        }
        c.phase = Phase::Answered;
        // Nothing more comes: the relay closes and ends.
        Drop(handle, false);
    }

    void HandleRetry(THandle handle, Connection& c, const intercept::RetryMessage& retry) {
        if (retry.step != std::to_string(c.step) || c.phase != Phase::InSlot ||
            c.slot < LocalSlots()) {
            Drop(handle, true);
            return;
        }
        const int remote = c.slot - LocalSlots();
        const std::string node = settings.remoteNodes[static_cast<std::size_t>(remote)];
        // The node failed the step: none of its slots takes another run of this build.
        int lostNow = 0;
        for (std::size_t r = 0; r < remoteLost.size(); ++r) {
            if (settings.remoteNodes[r] == node && !remoteLost[r]) {
                remoteLost[r] = true;
                ++lostNow;
            }
        }
        Line(c.caption + ": could not run on " + node + " (" + retry.reason +
             "); running it on this machine" +
             (lostNow > 0 ? "; " + node + " takes no further runs of this build" : ""));
        EndStep(c, 1, false);
        FreeSlot(c);
        c.phase = Phase::Retried;
    }

    void HandleFrame(THandle handle, const std::string& payload) {
        auto fields = intercept::DecodePayload(payload);
        auto message = fields
                           ? intercept::ParseFields(*fields)
                           : platform::Result<intercept::Message>(tl::unexpected(fields.error()));
        if (!message) {
            Drop(handle, true);
            return;
        }
        Connection& c = connections[handle];
        if (const auto* note = std::get_if<intercept::NoteMessage>(&*message)) {
            BrokerEvent event;
            event.kind = BrokerEvent::Kind::Note;
            event.step = c.step;
            event.text = note->text;
            Post(std::move(event));
        } else if (const auto* run = std::get_if<intercept::RunMessage>(&*message);
                   run != nullptr && c.phase == Phase::AwaitRun) {
            HandleRun(handle, c, *run);
        } else if (const auto* ask = std::get_if<intercept::AskMessage>(&*message);
                   ask != nullptr && c.phase == Phase::AwaitRun) {
            HandleAsk(handle, c, *ask);
        } else if (const auto* started = std::get_if<intercept::StartedMessage>(&*message);
                   started != nullptr && c.phase == Phase::InSlot) {
            HandleStarted(handle, c, *started);
        } else if (const auto* handoff = std::get_if<intercept::HandoffMessage>(&*message);
                   handoff != nullptr && c.phase == Phase::InSlot) {
            HandleHandoff(handle, c, *handoff);
        } else if (const auto* reaped = std::get_if<intercept::ReapedMessage>(&*message);
                   reaped != nullptr && c.phase == Phase::AwaitRun) {
            HandleReaped(handle, *reaped);
        } else if (const auto* done = std::get_if<intercept::DoneMessage>(&*message);
                   done != nullptr && (c.phase == Phase::InSlot || c.phase == Phase::Retried ||
                                       c.phase == Phase::Reaping || c.phase == Phase::HandedOff)) {
            HandleDone(handle, c, *done);
        } else if (const auto* retry = std::get_if<intercept::RetryMessage>(&*message);
                   retry != nullptr && c.phase == Phase::InSlot && !c.direct) {
            HandleRetry(handle, c, *retry);
        } else {
            Drop(handle, true);
        }
    }

    void Read(THandle handle) {
        char buffer[kReadChunk];
        auto read = platform::ReadSome(handle, buffer, sizeof buffer);
        if (read && !read->has_value()) {
            return;
        }
        if (!read || **read == 0) {
            Drop(handle, false);
            return;
        }
        connections[handle].input.append(buffer, **read);
        for (;;) {
            auto it = connections.find(handle);
            if (it == connections.end()) {
                return;
            }
            std::string payload;
            int result = TakeFrame(it->second.input, payload);
            if (result == 0) {
                return;
            }
            if (result < 0) {
                Drop(handle, true);
                return;
            }
            HandleFrame(handle, payload);
        }
    }

    void Accept() {
        for (;;) {
            const int most =
                settings.maxConnections > 0 ? settings.maxConnections : kMaxConnections;
            if (static_cast<int>(connections.size()) >= most) {
                acceptPaused = true;
                return;
            }
            auto accepted = platform::AcceptLocalConnection(listener);
            if (!accepted) {
                // Out of descriptors: the listener stays readable; do not spin on it. A
                // connection that ends frees one; without any, try again a little later.
                if (accepted.error().code != EAGAIN && accepted.error().code != EWOULDBLOCK) {
                    acceptPaused = !connections.empty();
                    acceptRetry = platform::MonotonicMilliseconds() + kAcceptRetryMs;
                }
                return;
            }
            THandle handle = *accepted;
            auto uid = platform::LocalPeerUid(handle);
            if (!uid || *uid != platform::CurrentUserId() || !platform::SetNonBlocking(handle)) {
                UpdateCounts(1);
                platform::CloseHandle(handle);
                continue;
            }
            Connection& c = connections[handle];
            c.handle = handle;
            c.accepted = platform::MonotonicMilliseconds();
            UpdateCounts();
        }
    }

    void Give(THandle handle, Connection& c, int slot) {
        c.slot = slot;
        c.lastSlot = slot;
        c.step = ++nextStep;
        c.phase = Phase::InSlot;
        ++running;
        const bool remote = slot >= LocalSlots();
        intercept::Message reply;
        if (remote) {
            const int r = slot - LocalSlots();
            remoteBusy[static_cast<std::size_t>(r)] = true;
            reply = intercept::RemoteMessage{
                std::to_string(c.step), settings.remoteNodes[static_cast<std::size_t>(r)],
                settings.remotePrefix(r, c.folder, "qz-" + std::to_string(c.step))};
        } else {
            localBusy[static_cast<std::size_t>(slot)] = true;
            reply = intercept::SlotMessage{std::to_string(c.step)};
        }
        BrokerEvent event;
        event.kind = BrokerEvent::Kind::Began;
        event.step = c.step;
        event.slot = slot;
        event.remote = remote;
        event.caption = c.caption;
        event.program = c.program;
        event.folder = c.folder;
        for (const std::string& argument : c.arguments) {
            event.commandLine += (event.commandLine.empty() ? "" : " ") + ShellQuote(argument);
        }
        Post(std::move(event));
        if (!Send(handle, reply)) {
            Drop(handle, false);
        }
    }

    // Hands free slots to waiting relays in arrival order; a relay that can use only a kind of
    // slot that is busy lets the next one take the free slot.
    void Schedule() {
        for (;;) {
            const int local = FreeLocalSlot();
            int remote = -1;
            for (std::size_t r = 0; r < remoteBusy.size() && remote < 0; ++r) {
                remote = remoteBusy[r] || remoteLost[r] ? -1 : static_cast<int>(r);
            }
            if (local < 0 && remote < 0) {
                break;
            }
            auto chosen = std::find_if(queue.begin(), queue.end(), [&](THandle handle) {
                return local >= 0 || connections[handle].remoteAllowed;
            });
            if (chosen == queue.end()) {
                break;
            }
            THandle handle = *chosen;
            queue.erase(chosen);
            Connection& c = connections[handle];
            Give(handle, c, local >= 0 ? local : LocalSlots() + remote);
        }
        UpdateCounts();
    }

    // Relays that waited past their limit run here, uncounted, with one line each; connections
    // that did not send their RUN in time are dropped. Returns the time to the next limit (-1:
    // none).
    int Expire() {
        const std::uint64_t now = platform::MonotonicMilliseconds();
        std::vector<THandle> expired;
        std::vector<THandle> unreaped;
        std::uint64_t next = 0;
        const std::uint64_t runLimit =
            static_cast<std::uint64_t>(settings.runLimitMs > 0 ? settings.runLimitMs : kRunLimitMs);
        for (const auto& [handle, c] : connections) {
            if (c.phase == Phase::Reaping) {
                // Never waited for: lost, the slot free.
                if (c.deadline <= now) {
                    unreaped.push_back(handle);
                } else {
                    next = next == 0 ? c.deadline : std::min(next, c.deadline);
                }
            }
            if (c.phase != Phase::AwaitRun) {
                continue;
            }
            if (c.accepted + runLimit <= now) {
                expired.push_back(handle);
            } else {
                next = next == 0 ? c.accepted + runLimit : std::min(next, c.accepted + runLimit);
            }
        }
        for (THandle handle : expired) {
            Drop(handle, true);
        }
        for (THandle handle : unreaped) {
            Drop(handle, false);
        }
        for (auto it = detached.begin(); it != detached.end();) {
            auto current = it++;
            if (current->second.phase != Phase::Reaping) {
                continue;
            }
            if (current->second.deadline <= now) {
                EndDetached(current, 1, true);
            } else {
                next =
                    next == 0 ? current->second.deadline : std::min(next, current->second.deadline);
            }
        }
        expired.clear();
        if (acceptRetry > now) {
            next = next == 0 ? acceptRetry : std::min(next, acceptRetry);
        }
        for (THandle handle : queue) {
            const Connection& c = connections[handle];
            if (c.deadline <= now) {
                expired.push_back(handle);
            } else {
                next = next == 0 ? c.deadline : std::min(next, c.deadline);
            }
        }
        for (THandle handle : expired) {
            queue.erase(std::find(queue.begin(), queue.end(), handle));
            Connection& c = connections[handle];
            const std::string reason = "no slot within " + std::to_string(c.waitSeconds) + " s";
            Line(c.caption + ": " + reason + "; running it on this machine without a slot");
            AnswerLocal(handle, reason);
        }
        if (next == 0) {
            return -1;
        }
        return static_cast<int>(std::min<std::uint64_t>(next - now, 60000));
    }

    void Run() {
        std::vector<THandle> handles;
        std::vector<THandle> owners; // of the direct runs' process handles, after the connections
        std::vector<int> stepOwners; // of the detached runs' process handles, after those
        std::vector<bool> ready;
        while (!stopping.load()) {
            int timeout = Expire();
            Schedule();
            const bool accepting =
                !acceptPaused && acceptRetry <= platform::MonotonicMilliseconds();
            handles.assign({wake.read, accepting ? listener : kInvalidHandle});
            owners.clear();
            for (const auto& [handle, connection] : connections) {
                handles.push_back(handle);
            }
            const std::size_t processes = handles.size();
            for (const auto& [handle, connection] : connections) {
                if (connection.process != kInvalidHandle) {
                    handles.push_back(connection.process);
                    owners.push_back(handle);
                }
            }
            const std::size_t detachedFrom = handles.size();
            stepOwners.clear();
            for (const auto& [step, run] : detached) {
                if (run.process != kInvalidHandle) {
                    handles.push_back(run.process);
                    stepOwners.push_back(step);
                }
            }
            auto waited = platform::WaitReadable(handles, timeout);
            if (!waited) {
                platform::SleepMilliseconds(10);
                continue;
            }
            ready = std::move(*waited);
            if (stopping.load()) {
                break;
            }
            if (ready[1]) {
                Accept();
            }
            // Ends first: a DONE read below may end the connection and close its process handle.
            for (std::size_t i = processes; i < detachedFrom; ++i) {
                auto it = connections.find(owners[i - processes]);
                if (ready[i] && it != connections.end() && it->second.process == handles[i]) {
                    ToolEnded(it->second);
                }
            }
            for (std::size_t i = detachedFrom; i < handles.size(); ++i) {
                auto it = detached.find(stepOwners[i - detachedFrom]);
                if (ready[i] && it != detached.end() && it->second.process == handles[i]) {
                    ToolEnded(it->second);
                }
            }
            for (std::size_t i = 2; i < processes; ++i) {
                if (ready[i] && connections.count(handles[i]) != 0) {
                    Read(handles[i]);
                }
            }
        }
        while (!connections.empty()) {
            Drop(connections.begin()->first, false);
        }
        while (!detached.empty()) {
            EndDetached(detached.begin(), 1, true);
        }
    }
};

InterceptBroker::InterceptBroker(BrokerSettings settings) : state_(std::make_unique<State>()) {
    state_->settings = std::move(settings);
    state_->localBusy.assign(static_cast<std::size_t>(std::max(1, state_->settings.localSlots)),
                             false);
    const std::size_t remote =
        state_->settings.remotePrefix ? state_->settings.remoteNodes.size() : 0;
    state_->remoteBusy.assign(remote, false);
    state_->remoteLost.assign(remote, false);
}

InterceptBroker::~InterceptBroker() {
    Stop();
}

std::string InterceptBroker::Start() {
    socketPath_ = state_->settings.folder + "/" + std::string(kBrokerSocketName);
    auto listener = platform::ListenLocalSocket(socketPath_, 256);
    if (!listener) {
        return listener.error().Text();
    }
    state_->listener = *listener;
    // The runs table: without it, processes that exec a tool leave it to qzrelay.
    platform::FileOpenRequest request;
    request.access = platform::FileAccess::ReadWrite;
    request.disposition = platform::FileDisposition::CreateAlways;
    const std::int64_t runsSize = static_cast<std::int64_t>(intercept::kExecRuns * 8);
    if (!state_->runsFile.Open(
            state_->settings.folder + "/" + std::string(intercept::kExecRunsName), request) ||
        !state_->runsFile.SetSize(runsSize) ||
        !state_->runsView.Map(state_->runsFile, 0, static_cast<std::size_t>(runsSize), true)) {
        state_->runsView.Unmap();
    }
    if (auto made = platform::SetNonBlocking(state_->listener); !made) {
        return "cannot make the socket non-blocking: " +
               platform::SystemErrorText(made.error().code);
    }
    auto wake = platform::CreatePipe();
    if (!wake) {
        return "cannot create a pipe: " + platform::SystemErrorText(wake.error().code);
    }
    state_->wake = *wake;
    State* state = state_.get();
    auto thread = platform::NativeThread::Start([state] { state->Run(); }, 0);
    if (!thread) {
        return "cannot start the broker's thread: " +
               platform::SystemErrorText(thread.error().code);
    }
    state_->thread = std::move(*thread);
    return {};
}

void InterceptBroker::Stop() {
    if (state_->thread) {
        state_->stopping.store(true);
        const char byte = 0;
        platform::WriteAllTo(state_->wake.write, &byte, 1);
        state_->thread->Join();
        state_->thread.reset();
    }
    for (THandle* handle : {&state_->listener, &state_->wake.read, &state_->wake.write}) {
        if (*handle != kInvalidHandle) {
            platform::CloseHandle(*handle);
            *handle = kInvalidHandle;
        }
    }
}

std::vector<BrokerEvent> InterceptBroker::TakeEvents() {
    std::lock_guard lock(state_->mutex);
    std::vector<BrokerEvent> events;
    events.swap(state_->events);
    return events;
}

InterceptBroker::Counts InterceptBroker::CurrentCounts() const {
    std::lock_guard lock(state_->mutex);
    return state_->counts;
}

} // namespace qz::tasksmith
