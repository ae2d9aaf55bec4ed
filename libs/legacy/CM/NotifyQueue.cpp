#include "NotifyQueue.h"

#include "DiagLog.h"
#include "EventLog.h"
#include "Exceptions.h"
#include "Format.h"
#include "Watchdog.h"

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <mutex>

namespace qz {

namespace {

thread_local TNotifyQueue* t_queue = nullptr;

constexpr std::uint32_t kNoTimer = 0xFFFFFFFFu;
constexpr std::uint32_t kLongestWait = 1000;
const char* const kPriorityNames[3] = {"Low", "Normal", "High"};

std::string ClassName(const std::type_info* type) {
    if (!type) {
        return "(unknown)";
    }
    int status = 0;
    char* name = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    std::string result = status == 0 && name ? name : type->name();
    std::free(name);
    return result;
}

void WriteEventLog(TEventLog& log, const char* format, const std::string& message) {
    if (log.Active()) {
        log.WriteEntry(format, {message}, -1, 0, "");
    }
}

// The process's queue. It is destroyed by the orderly shut-down of the runtime only; the
// console's normal end leaves the process without it.
struct MainQueueHolder {
    TNotifyQueue* queue = nullptr;
    ~MainQueueHolder() {
        delete queue;
        queue = nullptr;
    }
};
MainQueueHolder g_mainQueue;
std::once_flag g_mainQueueOnce;

// Start-up creates the queue on the start-up thread, before the program's own code runs.
const bool g_mainQueueCreated = (TNotifyQueue::Main(), true);

} // namespace

std::string notify_detail::MemberName(const char* prettyFunction) {
    // "... [with auto Member = &qz::TProcess::HandleDone]" (GCC) or "[Member = &...]" (Clang).
    std::string_view text(prettyFunction);
    std::size_t at = text.find("Member = ");
    if (at == std::string_view::npos) {
        return "(unknown)";
    }
    text.remove_prefix(at + 9);
    if (!text.empty() && text.front() == '&') {
        text.remove_prefix(1);
    }
    std::size_t end = text.find_first_of(";]");
    return std::string(text.substr(0, end));
}

std::string TMethod::Name() const {
    return signature_ ? notify_detail::MemberName(signature_()) : std::string("(unknown)");
}

TNotifyQueue::TNotifyQueue()
    : wakeEvent_(nullptr, "", false, false), eventLog_(DefaultEventLog()),
      watchdog_(std::make_unique<TMainThreadWatchdog>()) {}

TNotifyQueue::~TNotifyQueue() {
    watchdog_.reset();
    ReportUndelivered();
    if (t_queue == this) {
        t_queue = nullptr;
    }
}

TNotifyQueue& TNotifyQueue::Main() {
    std::call_once(g_mainQueueOnce, [] {
        auto* queue = new TNotifyQueue();
        queue->AttachToThread();
        g_mainQueue.queue = queue;
    });
    QZ_ASSERT(g_mainQueue.queue != nullptr);
    return *g_mainQueue.queue;
}

TNotifyQueue& GetNotifyQueue() {
    QZ_ASSERT(t_queue != nullptr);
    return *t_queue;
}

bool NotifyQueueAssigned() {
    return t_queue != nullptr;
}

void TNotifyQueue::AttachToThread() {
    QZ_ASSERT(t_queue == nullptr && !attached_);
    t_queue = this;
    mainThread_ = std::this_thread::get_id();
    attached_ = true;
}

bool TNotifyQueue::IsMainThread() const {
    return attached_ && std::this_thread::get_id() == mainThread_;
}

void TNotifyQueue::CheckMainThread(const char* label) const {
    if (!attached_) {
        Raise(Format("Notify queue operation cannot be performed before a thread is attached: %s",
                     label));
    }
    if (std::this_thread::get_id() != mainThread_) {
        Raise(Format("Notify queue operation can be performed from main thread only: %s", label));
    }
}

void TNotifyQueue::Signal() {
    if (signalled_ || terminated_) {
        return;
    }
    wakeEvent_.SetEvent();
    signalled_ = true;
}

void TNotifyQueue::Post(void* object, int priority, const TMethod& method) {
    QZ_ASSERT(priority >= npLow && priority <= npHigh);
    std::lock_guard guard(lock_);
    primary_[priority].push_back({object, method, method.Class(), GetTickCount()});
    Signal();
}

void TNotifyQueue::PostList(const TProcedureOfObjectList& methods) {
    for (const TMethod& method : methods) {
        Post(method.Object(), npNormal, method);
    }
}

void TNotifyQueue::ClearQueue(const void* object) {
    CheckMainThread("Clear queue");
    {
        std::lock_guard guard(lock_);
        for (auto& queue : primary_) {
            std::erase_if(queue, [object](const Entry& e) { return e.object == object; });
        }
    }
    for (auto& queue : working_) {
        for (Entry& entry : queue) {
            if (entry.object == object) {
                entry.object = nullptr;
            }
        }
    }
}

void TNotifyQueue::AddExternalNotification(void* object, const TMethod& method) {
    CheckMainThread("Add external notification");
    external_.push_back({object, method, method.Class(), GetTickCount()});
}

void TNotifyQueue::ClearExternalQueue(const void* object) {
    CheckMainThread("Clear external queue");
    for (Entry& entry : external_) {
        if (entry.object == object) {
            entry.object = nullptr;
        }
    }
}

bool TNotifyQueue::Deliver(const Entry& entry) {
    if (!entry.object) {
        return false;
    }
    try {
        entry.method();
    } catch (...) {
        std::string message = ExceptionMessage(std::current_exception());
        WriteEventLog(eventLog_, "Notify Event Failed: <str>", message);
        LogWarning(
            Format("Failed to notify object at 0x%.8X, class is %s\r\n%s",
                   static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(entry.object)),
                   ClassName(entry.classAtPosting), message));
    }
    return true;
}

void TNotifyQueue::ProcessExternalQueue() {
    try {
        std::size_t count = external_.size();
        bool cancelled = false;
        for (std::size_t i = 0; i < count && !terminated_; ++i) {
            // A copy: the handler may add handlers, which moves the entries.
            Entry entry = external_[i];
            if (!Deliver(entry)) {
                cancelled = true;
            }
        }
        if (cancelled) {
            std::erase_if(external_, [](const Entry& e) { return e.object == nullptr; });
        }
    } catch (...) {
        LogWarning("Failed to process external notify queue\r\n" +
                   ExceptionMessage(std::current_exception()));
    }
}

void TNotifyQueue::AddTimer(std::uint32_t interval, const TMethod& method) {
    CheckMainThread("Add timer");
    QZ_ASSERT(interval != 0);
    std::uint32_t due = GetTickCount() + interval;
    for (TimerSlot& slot : timers_) {
        if (slot.interval == 0) {
            slot = {method, interval, due};
            return;
        }
    }
    timers_.push_back({method, interval, due});
    wakeEvent_.SetEvent();
}

void TNotifyQueue::RemoveTimer(const TMethod& method) {
    CheckMainThread("Remove timer");
    for (TimerSlot& slot : timers_) {
        if (slot.method == method) {
            slot.method = TMethod();
            slot.interval = 0;
        }
    }
}

void TNotifyQueue::ResetTimer(const TMethod& method) {
    CheckMainThread("Reset timer");
    std::uint32_t now = GetTickCount();
    for (TimerSlot& slot : timers_) {
        if (slot.interval != 0 && slot.method == method) {
            slot.due = now + slot.interval;
        }
    }
}

std::uint32_t TNotifyQueue::ProcessTimers() {
    std::uint32_t now = GetTickCount();
    std::uint32_t minimum = kNoTimer;
    std::size_t count = timers_.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (timers_[i].interval == 0) {
            continue;
        }
        if (terminated_) {
            break;
        }
        auto remaining = static_cast<std::int32_t>(timers_[i].due - now);
        if (remaining <= 0) {
            std::uint32_t dueBefore = timers_[i].due;
            try {
                // A copy: the handler may add timers, which moves the slots.
                TMethod method = timers_[i].method;
                method();
            } catch (...) {
                std::string message = ExceptionMessage(std::current_exception());
                WriteEventLog(eventLog_, "Notify Timer Failed: <str>", message);
                LogWarning("Failed to notify timer\r\n" + message);
            }
            // The handler removed or reset its own timer: that decision stands.
            if (timers_[i].interval == 0) {
                continue;
            }
            now = GetTickCount();
            std::uint32_t due = timers_[i].due;
            if (due == dueBefore) {
                while (static_cast<std::int32_t>(due - now) <= 0) {
                    due += timers_[i].interval;
                }
                timers_[i].due = due;
            }
            // A reset timer still counts for the wait, or it would fire up to a second late.
            remaining = std::max<std::int32_t>(static_cast<std::int32_t>(due - now), 0);
        }
        minimum = std::min(minimum, static_cast<std::uint32_t>(remaining));
    }
    return minimum;
}

void TNotifyQueue::ProcessQueues() {
    for (int priority = npHigh; priority >= npLow && !terminated_; --priority) {
        if (priority < npHigh) {
            std::lock_guard guard(lock_);
            for (int higher = priority + 1; higher <= npHigh; ++higher) {
                if (!primary_[higher].empty()) {
                    Signal();
                }
            }
        }
        ProcessQueue(priority);
    }
}

void TNotifyQueue::ProcessQueue(int priority) {
    CheckMainThread("Process queue");
    try {
        {
            std::lock_guard guard(lock_);
            signalled_ = false;
            auto& from = primary_[priority];
            auto& to = working_[priority];
            to.insert(to.end(), std::make_move_iterator(from.begin()),
                      std::make_move_iterator(from.end()));
            from.clear();
        }
        auto& working = working_[priority];
        while (!working.empty() && !terminated_) {
            Entry entry = working.front();
            working.pop_front();
            Deliver(entry);
        }
    } catch (...) {
        LogWarning("Failed to process notify queue\r\n" +
                   ExceptionMessage(std::current_exception()));
    }
}

std::string TNotifyQueue::MakeExternalEventName(const TGuid& guid) {
    return MakeGlobalName("Tamrel_NotifyEvent_" + GuidToText(guid));
}

void TNotifyQueue::CreateExternalEvent() {
    TGuid guid = NewGuid();
    auto event = std::make_unique<TWinEvent>(NullDaclSecurityAttributes(),
                                             MakeExternalEventName(guid), false, false);
    externalEventGuid_ = guid;
    externalEvent_ = std::move(event);
    // The loop's next wait includes the new event.
    wakeEvent_.SetEvent();
}

THandle TNotifyQueue::ExternalEventHandle() {
    if (!externalEvent_) {
        CreateExternalEvent();
    }
    return externalEvent_->Handle();
}

TGuid TNotifyQueue::ExternalEventGuid() {
    if (!externalEvent_) {
        CreateExternalEvent();
    }
    return externalEventGuid_;
}

bool TNotifyQueue::WaitForExternalEvent(std::uint32_t timeout, THandle setFirst) {
    CheckMainThread("Wait for external event");
    THandle event = ExternalEventHandle();
    bool signalled = WaitForObject(event, timeout, wfTimeoutResult, setFirst);
    // The auto-reset event may have carried a wake-up meant for the loop.
    externalWaitDone_ = true;
    return signalled;
}

void TNotifyQueue::Run() {
    // A stop request ends the one run it meets (or the next one to start), so a later Run of
    // the same queue works again.
    if (stopRequested_) {
        stopRequested_ = false;
        return;
    }
    terminated_ = false;
    CheckMainThread("Start loop");
    bool verbose = DiagLogVerbose();
    // The watchdog watches the start-up thread, so only the process's own queue starts it.
    if (this == g_mainQueue.queue && !watchdog_->Running() && watchdog_->Start()) {
        if (verbose) {
            watchdog_->WaitReady();
        }
    }
    bool watched = watchdog_->Running() && verbose;
    while (!terminated_) {
        if (watched) {
            watchdog_->Heartbeat();
        }
        externalWaitDone_ = false;
        ProcessExternalQueue();
        if (terminated_) {
            break;
        }
        std::uint32_t waitTime = kLongestWait;
        try {
            waitTime = ProcessTimers();
        } catch (...) {
            LogWarning("Failed to process timers\r\n" + ExceptionMessage(std::current_exception()));
            waitTime = kLongestWait;
        }
        if (terminated_) {
            break;
        }
        ProcessQueues();
        if (terminated_) {
            break;
        }
        waitTime = std::min(waitTime, kLongestWait);
        if (externalWaitDone_) {
            continue;
        }
        std::vector<THandle> handles{wakeEvent_.Handle()};
        if (externalEvent_) {
            handles.push_back(externalEvent_->Handle());
        }
        WaitForObjects(handles, false, nullptr, wfTimeoutResult, waitTime);
    }
    stopRequested_ = false;
}

void TNotifyQueue::ShutDownLoop(bool quiet) {
    if (!quiet) {
        CheckMainThread("Shut down loop");
    }
    std::lock_guard guard(lock_);
    terminated_ = true;
    wakeEvent_.SetEvent();
}

void TNotifyQueue::StopLoop(bool quiet) {
    if (!quiet) {
        CheckMainThread("Shut down loop");
    }
    stopRequested_ = true;
    ShutDownLoop(true);
}

void TNotifyQueue::ReportUndelivered() {
    auto report = [](const TNotifyQueueList& list, const std::string& name) {
        if (list.empty()) {
            return;
        }
        LogSectionEntry("Notify Queue Warning", '=', lfAlways);
        std::string text = Format("Shutting down with %d undelivered notifications in %s.",
                                  static_cast<int>(list.size()), name);
        for (const Entry& entry : list) {
            try {
                std::string lines = "\r\n  " + ClassName(entry.classAtPosting);
                lines += "\r\n  " + (entry.object ? ClassName(entry.method.Class())
                                                  : std::string("(unavailable)"));
                lines += "\r\n  " + entry.method.Name();
                text += lines;
            } catch (...) {
                // An entry that cannot be described is left out of the report.
            }
        }
        LogWrite(text, lfAlways);
    };
    for (int p = npLow; p <= npHigh; ++p) {
        report(working_[p], std::string("Temporary Queue (") + kPriorityNames[p] + ")");
        report(primary_[p], std::string("Primary Queue (") + kPriorityNames[p] + ")");
    }
}

void TClock::SetInterval(std::int32_t value) {
    if (value != interval_) {
        interval_ = value;
        Update();
    }
}

void TClock::SetEnabled(bool value) {
    if (value != enabled_) {
        enabled_ = value;
        Update();
    }
}

void TClock::SetOnTick(TClockEvent onTick) {
    onTick_ = std::move(onTick);
    Update();
}

void TClock::Tick() {
    if (enabled_ && onTick_) {
        onTick_(*this);
    }
}

std::unique_ptr<TClock> TClock::CreateClock(std::int32_t interval, bool enabled,
                                            TClockEvent onTick) {
    return std::make_unique<TNotifyClock>(GetNotifyQueue(), interval, enabled, std::move(onTick));
}

TNotifyClock::TNotifyClock(TNotifyQueue& queue, std::int32_t interval, bool enabled,
                           TClockEvent onTick)
    : queue_(queue) {
    interval_ = interval;
    enabled_ = enabled;
    onTick_ = std::move(onTick);
    Update();
}

TNotifyClock::~TNotifyClock() {
    enabled_ = false;
    try {
        Update();
    } catch (...) {
        // Off the queue's thread the slot cannot be touched; such a clock was never scheduled
        // from there either.
    }
}

void TNotifyClock::Update() {
    queue_.RemoveTimer(TickMethod());
    if (interval_ != 0 && enabled_ && onTick_) {
        queue_.AddTimer(static_cast<std::uint32_t>(interval_), TickMethod());
    }
}

void TNotifyClock::Reset() {
    if (enabled_) {
        queue_.ResetTimer(TickMethod());
    } else {
        SetEnabled(true);
    }
}

TWaitObjectThread_Notify::TWaitObjectThread_Notify(const std::vector<THandle>& handles,
                                                   std::uint8_t flags, TNotifyEvent onEvent)
    : TWaitObjectThread(handles, flags), queue_(GetNotifyQueue()), onEvent_(std::move(onEvent)) {}

TWaitObjectThread_Notify::~TWaitObjectThread_Notify() {
    StopWaiting();
    if (notified_) {
        queue_.ClearQueue(this);
    }
}

void TWaitObjectThread_Notify::Signaled(int /*index*/) {
    notified_ = true;
    queue_.Post(this, npNormal, TMethod::Of<&TWaitObjectThread_Notify::Event>(this));
}

void TWaitObjectThread_Notify::Event() {
    if (onEvent_) {
        onEvent_(*this);
    }
}

} // namespace qz
