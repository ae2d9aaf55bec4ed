#include "NotifyQueue.h"

namespace qz {

TNotifyQueue& TNotifyQueue::Main() {
    static TNotifyQueue queue;
    return queue;
}

void TNotifyQueue::Run() {
    std::unique_lock<std::mutex> guard(lock_);
    wake_.wait(guard, [this] { return stopped_; });
}

void TNotifyQueue::StopLoop() {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    wake_.notify_all();
}

} // namespace qz
