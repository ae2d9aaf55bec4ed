#pragma once

// The main loop. Every program object lives on the main thread; work that arises on another
// thread is handed over by posting a notification, which the loop delivers on the main thread.
// The loop also runs periodic timers (TClock) and external handlers, which another process can
// trigger through the queue's named external event.
//
// One queue per process is created during start-up and attached to the start-up thread
// (TNotifyQueue::Main, GetNotifyQueue). Tests may make further queues, each attached to a thread
// of its own.

#include "EnvUtils.h"
#include "NvObjects.h"
#include "Threads.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

namespace qz {

class TMainThreadWatchdog;
class TEventLog;

namespace notify_detail {
std::string MemberName(const char* prettyFunction);
template <auto Member>
const char* MemberSignature() {
    return __PRETTY_FUNCTION__;
}
} // namespace notify_detail

/// A parameterless method bound to its object. Two methods are equal when both the object and the
/// member function are, so timers are removed by the method that added them.
class TMethod {
public:
    TMethod() = default;

    /// TMethod::Of<&T::Fn>(object)
    template <auto Member, typename T>
    static TMethod Of(T* object) {
        TMethod m;
        m.object_ = object;
        m.thunk_ = [](void* o) { (static_cast<T*>(o)->*Member)(); };
        m.class_ = &typeid(T);
        m.signature_ = &notify_detail::MemberSignature<Member>;
        return m;
    }

    explicit operator bool() const { return thunk_ != nullptr; }
    void operator()() const { thunk_(object_); }
    bool operator==(const TMethod& other) const {
        return object_ == other.object_ && thunk_ == other.thunk_;
    }

    void* Object() const { return object_; }
    /// The class the method was bound with (diagnostics).
    const std::type_info* Class() const { return class_; }
    /// The method's name, such as "qz::TProcess::HandleDone" (diagnostics).
    std::string Name() const;

private:
    void* object_ = nullptr;
    void (*thunk_)(void*) = nullptr;
    const std::type_info* class_ = nullptr;
    const char* (*signature_)() = nullptr;
};

/// A set of methods posted at once with PostList.
using TProcedureOfObjectList = std::vector<TMethod>;

/// Priorities of posted notifications.
enum NotifyPriority : int { npLow = 0, npNormal = 1, npHigh = 2 };

class TNotifyQueue {
public:
    /// Makes the wake event and the lock; not attached to any thread yet.
    TNotifyQueue();
    /// Reports undelivered notifications to the diagnostic log (nothing is delivered) and
    /// detaches the queue from its thread. No other thread may post any more.
    ~TNotifyQueue();
    TNotifyQueue(const TNotifyQueue&) = delete;
    TNotifyQueue& operator=(const TNotifyQueue&) = delete;

    /// The process's queue, created and attached to the start-up thread during start-up.
    static TNotifyQueue& Main();

    /// Binds the queue to the calling thread; asserts that neither was bound before.
    void AttachToThread();

    /// Notifications are handed over through events (always so on this platform).
    bool EventMode() const { return true; }

    /// Appends a notification for object at the priority (0..2) and wakes the loop. Any thread.
    /// A method that raises is reported and does not stop the loop.
    void Post(void* object, int priority, const TMethod& method);
    /// Posts each method at normal priority with the method's object as the receiver. Any thread.
    void PostList(const TProcedureOfObjectList& methods);

    /// Removes or cancels every pending notification for the object: its method is then never
    /// called. Every object that may receive notifications calls it in its destructor.
    void ClearQueue(const void* object);

    /// Registers a handler that runs on every pass of the loop.
    void AddExternalNotification(void* object, const TMethod& method);
    /// Cancels the object's external handlers.
    void ClearExternalQueue(const void* object);

    /// Runs passes until StopLoop or ShutDownLoop; returns at once after StopLoop before Run.
    /// Raises "Wait operation failed" when the loop's wait fails.
    void Run();
    /// Ends the loop after the current handler. Main thread unless quiet.
    void ShutDownLoop(bool quiet = false);
    /// As ShutDownLoop, and a Run not yet started returns at once. Main thread unless quiet.
    void StopLoop(bool quiet = false);

    /// Adds a periodic timer (interval in ms, non-zero; an assertion failure otherwise).
    void AddTimer(std::uint32_t interval, const TMethod& method);
    /// Frees every slot of the method.
    void RemoveTimer(const TMethod& method);
    /// Restarts every slot of the method a full period from now.
    void ResetTimer(const TMethod& method);

    /// The named external event, created on first use ("Global\Tamrel_NotifyEvent_{GUID}", open
    /// to every local user). Raises "Failed to create GUID" or the event's creation error.
    THandle ExternalEventHandle();
    TGuid ExternalEventGuid();
    /// "Global\" + "Tamrel_NotifyEvent_" + the GUID's text. Any thread.
    static std::string MakeExternalEventName(const TGuid& guid);

    /// Waits up to timeout ms for the external event, setting setFirst first when given, and
    /// makes the loop's next pass start without waiting. True when the event was signalled.
    bool WaitForExternalEvent(std::uint32_t timeout, THandle setFirst = nullptr);

    /// Whether the loop was told to end.
    bool Terminated() const { return terminated_; }

    /// The operations of the main thread call this first; it raises "Notify queue operation
    /// cannot be performed before a thread is attached: %s" or "Notify queue operation can be
    /// performed from main thread only: %s" with the label.
    void CheckMainThread(const char* label) const;
    /// True on the thread the queue is attached to.
    bool IsMainThread() const;

private:
    struct Entry {
        void* object;
        TMethod method;
        const std::type_info* classAtPosting;
        std::uint64_t tickAtPosting;
    };
    using TNotifyQueueList = std::deque<Entry>;
    struct TimerSlot {
        TMethod method;
        std::uint32_t interval = 0; // 0: a free slot
        std::uint32_t due = 0;
    };

    void Signal(); // under lock_
    bool Deliver(const Entry& entry);
    void ProcessExternalQueue();
    std::uint32_t ProcessTimers();
    void ProcessQueues();
    void ProcessQueue(int priority);
    void CreateExternalEvent();
    void ReportUndelivered();

    TGuid externalEventGuid_{};
    TFastMutex lock_;
    std::unique_ptr<TWinEvent> externalEvent_;
    TWinEvent wakeEvent_;
    std::thread::id mainThread_{};
    bool attached_ = false;
    TNotifyQueueList primary_[3];
    bool signalled_ = false;
    std::atomic<bool> terminated_{false};
    bool stopRequested_ = false;
    TNotifyQueueList external_;
    TNotifyQueueList working_[3];
    std::vector<TimerSlot> timers_;
    bool externalWaitDone_ = false;
    TEventLog& eventLog_;
    std::unique_ptr<TMainThreadWatchdog> watchdog_;
};

/// The calling thread's queue; an assertion failure on a thread without one. Any thread.
TNotifyQueue& GetNotifyQueue();
/// Whether the calling thread has a queue. Any thread.
bool NotifyQueueAssigned();

/// A periodic timer of the main loop. Setting Enabled or Interval to another value, or OnTick,
/// reschedules it. It fires only on its queue's thread, inside the loop.
class TClock {
public:
    using TClockEvent = std::function<void(TClock& sender)>;

    virtual ~TClock() = default;

    std::int32_t Interval() const { return interval_; }
    void SetInterval(std::int32_t value);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    const TClockEvent& OnTick() const { return onTick_; }
    void SetOnTick(TClockEvent onTick);

    /// Schedules the clock anew from its properties.
    virtual void Update() = 0;
    /// When enabled, the next tick comes a full period from now; when disabled, enables it.
    virtual void Reset() = 0;

    /// A new clock on the calling thread's queue (main thread).
    static std::unique_ptr<TClock> CreateClock(std::int32_t interval, bool enabled,
                                               TClockEvent onTick);

protected:
    /// Calls OnTick when enabled and assigned.
    void Tick();

    std::int32_t interval_ = 0;
    TClockEvent onTick_;
    bool enabled_ = false;
};

class TNotifyClock : public TClock {
public:
    TNotifyClock(TNotifyQueue& queue, std::int32_t interval, bool enabled, TClockEvent onTick);
    /// Frees the clock's timer slot.
    ~TNotifyClock() override;

    void Update() override;
    void Reset() override;

private:
    TMethod TickMethod() { return TMethod::Of<&TNotifyClock::Tick>(this); }
    TNotifyQueue& queue_;
};

/// A wait-object thread that hands each signal to the main thread: it posts Event (priority 1)
/// to the queue of the thread that created it, where OnEvent is called with the thread object.
/// Create it with CreateThread<TWaitObjectThread_Notify>(...) on a thread that has a queue.
class TWaitObjectThread_Notify : public TWaitObjectThread {
public:
    using TNotifyEvent = std::function<void(TWaitObjectThread_Notify& sender)>;

    TWaitObjectThread_Notify(const std::vector<THandle>& handles, std::uint8_t flags,
                             TNotifyEvent onEvent);
    /// Stops and joins the thread, then removes a pending notification from the queue (on the
    /// queue's thread).
    ~TWaitObjectThread_Notify() override;

    /// Runs on the main thread: calls OnEvent.
    void Event();
    bool Notified() const { return notified_; }

protected:
    void Signaled(int index) override;

private:
    TNotifyQueue& queue_;
    TNotifyEvent onEvent_;
    std::atomic<bool> notified_{false};
};

} // namespace qz
