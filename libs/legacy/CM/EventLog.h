#pragma once

// The abstract event-log sink. TEventLog does nothing by itself; a concrete log (a system journal
// writer, a test recorder) overrides its operations. TEventLogView is a category-bound front of a
// log. When a log is registered with SetExceptionEventLog, the exception watch copies its entries
// there, one line per entry.

#include <memory>
#include <string>
#include <vector>

namespace qz {

class TEventLogView;

class TEventLog {
public:
    TEventLog() = default;
    virtual ~TEventLog() = default;
    TEventLog(const TEventLog&) = delete;
    TEventLog& operator=(const TEventLog&) = delete;

    /// Writes one entry (the base class writes nothing).
    virtual void WriteEntry(const std::string& format, const std::vector<std::string>& args,
                            int category, int type, const std::string& data);
    /// Registers an event source; -1 in the base class.
    virtual int RegisterSource(const std::string& name);
    /// A view bound to the category name; raises "Cannot create views for inactive event log"
    /// when the log is inactive. The caller owns the view, which must not outlive the log.
    virtual std::unique_ptr<TEventLogView> CreateView(const std::string& categoryName);
    virtual void Flush();
    /// The category entries get when none is given; -1 in the base class.
    virtual int DefaultCategory();
    virtual void Reserved();

    /// With splitLines each line of the text is its own entry; otherwise one entry whose format
    /// is source + "%s" and whose one argument is the text.
    void Write(const std::string& text, bool splitLines, int category, const std::string& source);

    bool Active() const { return active_; }
    void SetActive(bool on) { active_ = on; }
    /// A permanent log may not be freed with FreeEventLog.
    bool Permanent() const { return permanent_; }
    void SetPermanent(bool on) { permanent_ = on; }
    int Category() const { return category_; }
    void SetCategory(int category) { category_ = category; }

private:
    bool active_ = true;
    bool permanent_ = false;
    int category_ = -1;
};

/// Forwards writes, source registration and view creation to its log, putting its own category
/// where -1 is given.
class TEventLogView {
public:
    TEventLogView(TEventLog& log, int defaultCategory)
        : log_(log), defaultCategory_(defaultCategory) {}

    void WriteEntry(const std::string& format, const std::vector<std::string>& args, int category,
                    int type, const std::string& data);
    int RegisterSource(const std::string& name) { return log_.RegisterSource(name); }
    std::unique_ptr<TEventLogView> CreateView(const std::string& categoryName) {
        return log_.CreateView(categoryName);
    }
    int DefaultCategory() const { return defaultCategory_; }
    TEventLog& Log() { return log_; }

private:
    TEventLog& log_;
    int defaultCategory_;
};

/// Frees a log; raises "Attempt to free a permanent event log object" for a permanent one.
void FreeEventLog(std::unique_ptr<TEventLog>& log);

/// The process-wide event log, created on first use and kept until the process ends.
TEventLog& DefaultEventLog();

/// Registers the log that exception entries are copied to (nullptr: none). The log must outlive
/// its registration.
void SetExceptionEventLog(TEventLog* log);
TEventLog* ExceptionEventLog();

} // namespace qz
