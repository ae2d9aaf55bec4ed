#include "TimelinePage.h"

#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/StreamUtils.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <unordered_map>

namespace qz::timeline {

namespace {

// kPageHead and kPageTail: the page before and after the data (generated from timeline.html,
// timeline.css and timeline.js).
#include "TimelineTemplate.inc"

constexpr char kHex[] = "0123456789abcdef";

void AppendUnicodeEscape(std::string& out, unsigned code) {
    out += "\\u";
    out += kHex[(code >> 12) & 15];
    out += kHex[(code >> 8) & 15];
    out += kHex[(code >> 4) & 15];
    out += kHex[code & 15];
}

// The length of the well-formed UTF-8 sequence at text[i] (lead byte >= 0x80), or 0 when it is
// malformed (bad continuation, overlong form, surrogate, beyond U+10FFFF, cut short).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i, unsigned& code) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned lead = byte(i);
    std::size_t length;
    unsigned min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// Writes the data object: numbers, strings and nested arrays, with texts shared through one
// string table (captions, folders and command lines repeat across thousands of tasks).
// The length of the common start of two texts, counted only over ASCII characters (so that it
// is the same in bytes and in the page's UTF-16 characters).
std::size_t SharedAsciiStart(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i] && static_cast<unsigned char>(a[i]) < 0x80) {
        ++i;
    }
    return i;
}

constexpr std::size_t kMinShared = 24;

class JsonWriter {
public:
    std::string& Out() { return out_; }
    /// Prepares the string table for about count texts.
    void Expect(std::size_t count) { index_.reserve(count); }

    void Key(std::string_view key) {
        Separator();
        AppendJsonString(out_, key);
        out_ += ':';
        first_ = true; // the value that follows needs no comma
    }
    void Open(char bracket) {
        Separator();
        out_ += bracket;
        first_ = true;
    }
    void Close(char bracket) {
        out_ += bracket;
        first_ = false;
    }
    void Int(std::int64_t value) {
        Separator();
        char buffer[24];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, result.ptr);
    }
    void Double(double value) {
        Separator();
        if (!std::isfinite(value)) {
            value = 0; // JSON has no NaN or infinity; a damaged date counts as unknown
        }
        char buffer[32];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, result.ptr);
    }
    void Null() {
        Separator();
        out_ += "null";
    }
    void Bool(bool value) {
        Separator();
        out_ += value ? "true" : "false";
    }
    void String(std::string_view text) {
        Separator();
        AppendJsonString(out_, text);
    }
    /// The string's index in the string table.
    void Shared(const std::string& text) { Int(StringIndex(text)); }

    /// The string table. A text that shares a long ASCII start with the one before it (command
    /// lines of one build mostly differ only at their ends) is written as [length of the shared
    /// start, the rest].
    void Strings() {
        Key("strings");
        Open('[');
        const std::string* previous = nullptr;
        for (const std::string* text : table_) {
            std::size_t shared = previous == nullptr ? 0 : SharedAsciiStart(*previous, *text);
            if (shared >= kMinShared) {
                Open('[');
                Int(static_cast<std::int64_t>(shared));
                String(std::string_view(*text).substr(shared));
                Close(']');
            } else {
                String(*text);
            }
            previous = text;
        }
        Close(']');
    }

private:
    void Separator() {
        if (!first_) {
            out_ += ',';
        }
        first_ = false;
    }
    int StringIndex(const std::string& text) {
        auto [entry, added] = index_.emplace(text, static_cast<int>(table_.size()));
        if (added) {
            table_.push_back(&text);
        }
        return entry->second;
    }

    std::string out_;
    bool first_ = true;
    std::unordered_map<std::string_view, int> index_;
    std::vector<const std::string*> table_; // points into the timeline, which outlives us
};

template <typename T, typename F>
void Column(JsonWriter& json, std::string_view key, const std::vector<T>& items, F value) {
    json.Key(key);
    json.Open('[');
    for (const T& item : items) {
        value(item);
    }
    json.Close(']');
}

const char* StateName(const BuildHead& head) {
    if (!head.completed || head.incomplete) {
        return head.completed ? "incomplete" : "unfinished";
    }
    if (head.cancelled) {
        return "cancelled";
    }
    return head.success ? "succeeded" : "failed";
}

} // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            unsigned code = 0;
            std::size_t length = Utf8SequenceLength(text, i, code);
            if (length == 0) {
                AppendUnicodeEscape(out, 0xFFFD);
                ++i;
            } else if (code == 0x2028 || code == 0x2029) {
                AppendUnicodeEscape(out, code);
                i += length;
            } else {
                out.append(text.data() + i, length);
                i += length;
            }
            continue;
        }
        if (c >= 0x20 && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&' && c != 0x7F) {
            // Copy a run of characters that need no escape at once.
            std::size_t run = i + 1;
            while (run < text.size()) {
                auto d = static_cast<unsigned char>(text[run]);
                if (d < 0x20 || d >= 0x7F || d == '"' || d == '\\' || d == '<' || d == '>' ||
                    d == '&') {
                    break;
                }
                ++run;
            }
            out.append(text.data() + i, run - i);
            i = run;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '<':
        case '>':
        case '&':
        case 0x7F:
            AppendUnicodeEscape(out, c);
            break;
        default:
            AppendUnicodeEscape(out, c);
        }
        ++i;
    }
    out += '"';
}

std::string TimelineJson(const BuildTimeline& timeline, const std::string& sourceName) {
    JsonWriter json;
    // Room for every text once and the numbers, so the text is not moved while it grows.
    std::size_t texts = 0;
    for (const Task& t : timeline.tasks) {
        texts += t.name.size() + t.cmdLine.size() + t.app.size() + t.hint.size() + t.source.size();
    }
    for (const Output& o : timeline.outputs) {
        texts += o.text.size() + o.errText.size() + 32;
    }
    json.Out().reserve(4096 + texts + timeline.tasks.size() * 96);
    json.Expect(timeline.tasks.size() * 3 + timeline.outputs.size() * 2);
    const BuildHead& head = timeline.head;
    json.Open('{');
    json.Key("format");
    json.Int(1);
    json.Key("source");
    json.String(sourceName);

    json.Key("build");
    json.Open('{');
    json.Key("caption");
    json.String(head.caption);
    json.Key("id");
    json.String(head.buildId);
    json.Key("computer");
    json.String(head.computerName);
    json.Key("user");
    json.String(head.userName);
    json.Key("primaryFile");
    json.String(head.primaryFile);
    json.Key("commandLine");
    json.String(head.commandLine);
    json.Key("productVersion");
    json.String(head.productVersion);
    json.Key("startDays");
    json.Double(head.startTime);
    json.Key("startText");
    json.String(std::isfinite(head.startTime) && head.startTime != 0
                    ? DateTimeToText(head.startTime)
                    : std::string());
    json.Key("endMs");
    json.Int(head.endMs);
    json.Key("state");
    json.String(StateName(head));
    json.Key("summary");
    json.String(head.summary);
    json.Key("exitCode");
    json.Int(head.exitCode);
    json.Key("errors");
    json.Int(head.errorCount);
    json.Key("warnings");
    json.Int(head.warningCount);
    json.Key("systemErrors");
    json.Int(head.systemErrorCount);
    json.Key("systemWarnings");
    json.Int(head.systemWarningCount);
    json.Key("built");
    json.Int(head.built);
    json.Key("skipped");
    json.Int(head.skipped);
    json.Key("events");
    json.Int(timeline.eventCount);
    json.Close('}');

    json.Key("workers");
    json.Open('{');
    Column(json, "id", timeline.workers, [&](const Worker& w) { json.String(w.id); });
    Column(json, "caption", timeline.workers, [&](const Worker& w) { json.String(w.caption); });
    Column(json, "host", timeline.workers, [&](const Worker& w) { json.String(w.host); });
    Column(json, "local", timeline.workers, [&](const Worker& w) { json.Int(w.local ? 1 : 0); });
    json.Close('}');

    // Tasks column by column: one array per field keeps 20,000 tasks small and quick to parse.
    const auto& tasks = timeline.tasks;
    json.Key("tasks");
    json.Open('{');
    Column(json, "worker", tasks, [&](const Task& t) { json.Int(t.worker); });
    Column(json, "begin", tasks, [&](const Task& t) { json.Int(t.beginMs); });
    Column(json, "end", tasks, [&](const Task& t) { json.Int(t.endMs); });
    Column(json, "state", tasks, [&](const Task& t) { json.Int(static_cast<int>(t.State())); });
    Column(json, "taskId", tasks, [&](const Task& t) { json.Int(t.taskId); });
    Column(json, "exitCode", tasks, [&](const Task& t) {
        if (t.exitCodeExists) {
            json.Int(t.exitCode);
        } else {
            json.Null();
        }
    });
    Column(json, "errors", tasks, [&](const Task& t) { json.Int(t.errors); });
    Column(json, "warnings", tasks, [&](const Task& t) { json.Int(t.warnings); });
    Column(json, "remote", tasks, [&](const Task& t) { json.Int(t.remote ? 1 : 0); });
    Column(json, "name", tasks, [&](const Task& t) { json.Shared(t.name); });
    Column(json, "cmdLine", tasks, [&](const Task& t) { json.Shared(t.cmdLine); });
    Column(json, "app", tasks, [&](const Task& t) { json.Shared(t.app); });
    Column(json, "hint", tasks, [&](const Task& t) { json.Shared(t.hint); });
    Column(json, "source", tasks, [&](const Task& t) { json.Shared(t.source); });
    Column(json, "status", tasks, [&](const Task& t) { json.Shared(t.status); });
    json.Close('}');

    const auto& outputs = timeline.outputs;
    json.Key("outputs");
    json.Open('{');
    Column(json, "ms", outputs, [&](const Output& o) { json.Int(o.ms); });
    Column(json, "task", outputs, [&](const Output& o) { json.Int(o.task); });
    Column(json, "taskId", outputs, [&](const Output& o) { json.Int(o.taskId); });
    Column(json, "text", outputs, [&](const Output& o) { json.Shared(o.text); });
    Column(json, "errText", outputs, [&](const Output& o) { json.Shared(o.errText); });
    Column(json, "errors", outputs, [&](const Output& o) { json.Int(o.errorCount); });
    Column(json, "warnings", outputs, [&](const Output& o) { json.Int(o.warningCount); });
    json.Close('}');

    json.Key("messages");
    json.Open('[');
    for (const Message& m : timeline.messages) {
        json.Open('{');
        json.Key("ms");
        json.Int(m.ms);
        json.Key("kind");
        json.Int(m.kind);
        json.Key("time");
        json.String(std::isfinite(m.now) && m.now != 0 ? DateTimeToText(m.now) : std::string());
        json.Key("message");
        json.String(m.message);
        json.Key("text");
        json.String(m.text);
        json.Key("agent");
        json.String(m.agent);
        json.Key("project");
        json.String(m.project);
        json.Key("code");
        json.Int(m.code);
        json.Close('}');
    }
    json.Close(']');

    json.Strings();
    json.Close('}');
    return std::move(json.Out());
}

std::string TimelinePageText(const BuildTimeline& timeline, const std::string& sourceName) {
    std::string data = TimelineJson(timeline, sourceName);
    std::string page;
    page.reserve(kPageHead.size() + data.size() + kPageTail.size());
    page += kPageHead;
    page += data;
    page += kPageTail;
    return page;
}

void WriteTimelinePage(const std::string& fileName, const BuildTimeline& timeline,
                       const std::string& sourceName) {
    std::string data = TimelineJson(timeline, sourceName);
    TFileStreamEx file(fileName, FileMode::Create);
    try {
        for (std::string_view part : {kPageHead, std::string_view(data), kPageTail}) {
            file.WriteBuffer(part.data(), static_cast<std::int64_t>(part.size()));
        }
    } catch (const Exception&) {
        // A page cut short (a full disk) would look like a build without its end.
        try {
            DeleteFileChecked(fileName);
        } catch (const Exception&) {
            // The write error is the one worth reporting.
        }
        throw;
    }
}

} // namespace qz::timeline
