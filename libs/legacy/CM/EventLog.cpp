#include "EventLog.h"

#include "Exceptions.h"

#include <atomic>

namespace qz {

namespace {

std::atomic<TEventLog*> g_exceptionEventLog{nullptr};

} // namespace

void TEventLog::WriteEntry(const std::string&, const std::vector<std::string>&, int, int,
                           const std::string&) {}

int TEventLog::RegisterSource(const std::string&) {
    return -1;
}

std::unique_ptr<TEventLogView> TEventLog::CreateView(const std::string&) {
    if (!active_) {
        Raise("Cannot create views for inactive event log");
    }
    return std::make_unique<TEventLogView>(*this, DefaultCategory());
}

void TEventLog::Flush() {}

int TEventLog::DefaultCategory() {
    return -1;
}

void TEventLog::Reserved() {}

void TEventLog::Write(const std::string& text, bool splitLines, int category,
                      const std::string& source) {
    if (!splitLines) {
        WriteEntry(source + "%s", {text}, category, 0, "");
        return;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        Write(line, false, category, source);
        start = end + 1;
    }
}

void TEventLogView::WriteEntry(const std::string& format, const std::vector<std::string>& args,
                               int category, int type, const std::string& data) {
    log_.WriteEntry(format, args, category == -1 ? defaultCategory_ : category, type, data);
}

void FreeEventLog(std::unique_ptr<TEventLog>& log) {
    if (log && log->Permanent()) {
        Raise("Attempt to free a permanent event log object");
    }
    log.reset();
}

TEventLog& DefaultEventLog() {
    // Intentionally never destroyed: entries may be written during the process's last moments.
    static TEventLog* log = new TEventLog();
    return *log;
}

void SetExceptionEventLog(TEventLog* log) {
    g_exceptionEventLog.store(log);
}

TEventLog* ExceptionEventLog() {
    return g_exceptionEventLog.load();
}

} // namespace qz
