#pragma once

// A helper for tests that need a notify queue on a thread of their own. Header-only, so that this
// library does not depend on the modules it helps to test.

#include "NotifyQueue.h"

#include <thread>

namespace qz::test {

/// Runs body(queue) on a fresh thread whose notify queue is attached to it, and waits for it.
template <typename Body>
void OnFreshThread(Body body) {
    std::thread thread([&] {
        TNotifyQueue queue;
        queue.AttachToThread();
        body(queue);
    });
    thread.join();
}

} // namespace qz::test
