#pragma once

// The main-thread loop. This first form only runs until it is stopped: nothing posts to it yet.
// StopLoop before Run makes Run return at once.

#include <condition_variable>
#include <mutex>

namespace qz {

class TNotifyQueue {
public:
    /// The queue of the start-up thread.
    static TNotifyQueue& Main();

    /// The queue hands notifications over through events (always so on this platform).
    bool EventMode() const { return true; }

    /// Runs until StopLoop is called; returns at once when it already was.
    void Run();

    /// Ends a running loop, or makes the next Run return at once. Any thread may call it.
    void StopLoop();

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopped_ = false;
};

} // namespace qz
