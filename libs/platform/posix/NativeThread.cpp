#include "platform/NativeThread.h"

#include "Futex.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace qz::platform {

struct NativeThread::Impl {
    pthread_t thread{};
    std::function<void()> body;
    std::atomic<std::uint32_t> tid{0};
    /// RaisePriority was asked before the thread knew its id: the thread raises itself.
    std::atomic<bool> raise{false};
    std::uint32_t cancelWord = 0;
    bool joined = false;
};

namespace {

std::uint32_t t_noCancel = 0;

void RaiseThreadPriority(std::uint32_t tid) {
    // A lower nice value needs privilege; without it the thread keeps its priority.
    if (setpriority(PRIO_PROCESS, tid, -2) != 0) {
        errno = 0;
    }
}

thread_local std::uint32_t* t_cancelWord = nullptr;

void* ThreadMain(void* argument) {
    auto* impl = static_cast<NativeThread::Impl*>(argument);
    t_cancelWord = &impl->cancelWord;
    impl->tid.store(static_cast<std::uint32_t>(gettid()));
    impl->tid.notify_all();
    if (impl->raise.load()) {
        RaiseThreadPriority(impl->tid.load());
    }
    impl->body();
    return nullptr;
}

} // namespace

Result<std::unique_ptr<NativeThread>> NativeThread::Start(std::function<void()> body,
                                                          std::size_t stackSize) {
    auto impl = std::make_unique<Impl>();
    impl->body = std::move(body);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize > 0) {
        if (stackSize < static_cast<std::size_t>(PTHREAD_STACK_MIN)) {
            stackSize = static_cast<std::size_t>(PTHREAD_STACK_MIN);
        }
        pthread_attr_setstacksize(&attr, stackSize);
    }
    int rc = pthread_create(&impl->thread, &attr, ThreadMain, impl.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        return Fail(rc, "start thread");
    }
    // The thread has run its start-up when Start returns. A process that forks right after
    // starting a thread (the tests' forked children do) must not fork while the new thread is
    // still inside its runtime's start-up: a sanitizer runtime takes its allocator's locks there,
    // and the child would inherit them locked and hang at its first allocation.
    impl->tid.wait(0);
    return std::unique_ptr<NativeThread>(new NativeThread(std::move(impl)));
}

NativeThread::NativeThread(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

NativeThread::~NativeThread() {
    Join();
}

std::uint32_t NativeThread::Id() const {
    impl_->tid.wait(0);
    return impl_->tid.load();
}

void NativeThread::Join() {
    if (!impl_->joined) {
        impl_->joined = true;
        pthread_join(impl_->thread, nullptr);
    }
}

Result<> NativeThread::Cancel() {
    if (impl_->joined) {
        return Fail(ESRCH, "cancel");
    }
    std::atomic_ref(impl_->cancelWord).store(1, std::memory_order_release);
    detail::FutexWakeAll(&impl_->cancelWord, false);
    return {};
}

void NativeThread::RaisePriority() {
    // Either the thread has its id already and is raised here, or it finds the request when it
    // starts (both may happen; the second does nothing more).
    impl_->raise.store(true);
    if (std::uint32_t tid = impl_->tid.load(); tid != 0) {
        RaiseThreadPriority(tid);
    }
}

std::uint32_t CurrentThreadId() {
    return static_cast<std::uint32_t>(gettid());
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(getpid());
}

int ProcessThreadCount() {
    int count = 0;
    if (FILE* file = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, file)) {
            if (std::sscanf(line, "Threads: %d", &count) == 1) {
                break;
            }
        }
        std::fclose(file);
    }
    return count;
}

void YieldProcessor() {
    sched_yield();
}

void SleepMilliseconds(std::uint32_t milliseconds) {
    timespec delay{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &delay, &delay) == EINTR) {
    }
}

namespace detail {

std::uint32_t* CurrentCancelWord() {
    // Threads not started by NativeThread share a word that is never set.
    return t_cancelWord ? t_cancelWord : &t_noCancel;
}

} // namespace detail

} // namespace qz::platform
