#include "platform/ProcessWatch.h"

#include "Futex.h"

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qz::platform {

struct ProcessWatch::Impl {
    int pid = 0;
    int pidFd = -1;
    bool child = false;         // our child: the watch reaps it
    std::uint64_t serial = 0;   // the watcher's key: never reused, unlike descriptor numbers
    std::uint32_t exitWord = 0; // 1 once the process has ended
    std::atomic<int> exitCode{-1};

    ~Impl() {
        if (pidFd >= 0) {
            close(pidFd);
        }
    }
};

namespace {

constexpr idtype_t kPidFd = static_cast<idtype_t>(3); // P_PIDFD

// Reads the exit status of an ended process without blocking; -1 when it cannot be read (not our
// child, or already reaped elsewhere).
int ReapExitCode(int pidFd) {
    siginfo_t info{};
    for (;;) {
        if (waitid(kPidFd, static_cast<id_t>(pidFd), &info, WEXITED | WNOHANG) == 0) {
            if (info.si_pid == 0) {
                return -1; // not ended after all: cannot happen for a readable pidfd
            }
            return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// Whether the process is a child of this one (only a child's status can be read and reaped).
bool IsOwnChild(int pidFd) {
    siginfo_t info{};
    return waitid(kPidFd, static_cast<id_t>(pidFd), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// One thread per process watches every pidfd through epoll and turns each exit into the
// watch's private futex word. Entries are keyed by a serial number: a descriptor number is
// reused as soon as a watch closes it, and an event already fetched for the old watch must not
// reach the new one.
class Watcher {
public:
    static Watcher& Instance() {
        static Watcher* watcher = new Watcher; // lives until exit: the thread uses it
        return *watcher;
    }

    int Add(const std::shared_ptr<ProcessWatch::Impl>& watch) {
        std::lock_guard lock(mutex_);
        if (int rc = StartLocked()) {
            return rc;
        }
        watch->serial = ++lastSerial_;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = watch->serial;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, watch->pidFd, &event) != 0) {
            return errno;
        }
        watches_[watch->serial] = {watch, false};
        return 0;
    }

    /// The watch's owner is gone. A child that is still running stays registered (orphaned), so
    /// that it is reaped when it ends instead of staying a zombie.
    void Remove(const std::shared_ptr<ProcessWatch::Impl>& watch) {
        std::lock_guard lock(mutex_);
        auto found = watches_.find(watch->serial);
        if (found == watches_.end()) {
            return;
        }
        if (watch->child && ownerPid_ == getpid()) {
            found->second.orphan = true;
            return;
        }
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, watch->pidFd, nullptr);
        watches_.erase(found);
    }

    // A child made by fork has no watcher thread: start afresh there.
    void ResetAfterFork() {
        new (&mutex_) std::mutex;
        // The entries belong to the parent; its pidfds stay open in the child only until exec.
        new (&watches_) std::map<std::uint64_t, Entry>;
        epollFd_ = -1;
        ownerPid_ = 0;
    }

private:
    struct Entry {
        std::shared_ptr<ProcessWatch::Impl> watch;
        bool orphan = false;
    };

    Watcher() {
        pthread_atfork(nullptr, nullptr, [] { Instance().ResetAfterFork(); });
    }

    int StartLocked() {
        if (epollFd_ >= 0 && ownerPid_ == getpid()) {
            return 0;
        }
        epollFd_ = epoll_create1(EPOLL_CLOEXEC);
        if (epollFd_ < 0) {
            return errno;
        }
        ownerPid_ = getpid();
        std::thread([this, fd = epollFd_] { Run(fd); }).detach();
        return 0;
    }

    void Run(int epollFd) {
        epoll_event events[16];
        for (;;) {
            int n = epoll_wait(epollFd, events, 16, -1);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            for (int i = 0; i < n; ++i) {
                Finish(events[i].data.u64);
            }
        }
    }

    void Finish(std::uint64_t serial) {
        std::shared_ptr<ProcessWatch::Impl> watch;
        {
            std::lock_guard lock(mutex_);
            auto found = watches_.find(serial);
            if (found == watches_.end()) {
                return; // removed after the event was fetched
            }
            watch = std::move(found->second.watch);
            watches_.erase(found);
            epoll_ctl(epollFd_, EPOLL_CTL_DEL, watch->pidFd, nullptr);
        }
        // Outside the lock, and never blocking: a readable pidfd means the process has ended.
        watch->exitCode.store(watch->child ? ReapExitCode(watch->pidFd) : -1);
        std::atomic_ref(watch->exitWord).store(1, std::memory_order_release);
        detail::FutexWakeAll(&watch->exitWord, false);
    }

    std::mutex mutex_;
    std::map<std::uint64_t, Entry> watches_;
    std::uint64_t lastSerial_ = 0;
    int epollFd_ = -1;
    pid_t ownerPid_ = 0;
};

} // namespace

int ProcessWatch::Open(int pid, std::unique_ptr<ProcessWatch>& out) {
    auto impl = std::make_shared<Impl>();
    impl->pid = pid;
    impl->pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (impl->pidFd < 0) {
        return errno;
    }
    impl->child = IsOwnChild(impl->pidFd);
    if (int rc = Watcher::Instance().Add(impl)) {
        return rc;
    }
    out.reset(new ProcessWatch(std::move(impl)));
    return 0;
}

ProcessWatch::ProcessWatch(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

ProcessWatch::~ProcessWatch() {
    Watcher::Instance().Remove(impl_);
}

int ProcessWatch::Pid() const {
    return impl_->pid;
}

bool ProcessWatch::HasExited() const {
    return std::atomic_ref(impl_->exitWord).load(std::memory_order_acquire) == 1;
}

int ProcessWatch::ExitCode() const {
    return HasExited() ? impl_->exitCode.load() : -1;
}

int ProcessWatch::Signal() {
    return EPERM;
}

Waitable::Take ProcessWatch::TryTake() {
    return HasExited() ? Take::Taken : Take::NotReady;
}

bool ProcessWatch::IsReady() const {
    return HasExited();
}

std::uint32_t* ProcessWatch::Word(bool& shared) {
    shared = false;
    return &impl_->exitWord;
}

} // namespace qz::platform
