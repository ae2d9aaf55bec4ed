#include "platform/ProcessWatch.h"

#include "Futex.h"

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <thread>

namespace qz::platform {

struct ProcessWatch::Impl {
    int pid = 0;
    int pidFd = -1;
    std::uint32_t exitWord = 0; // 1 once the process has ended
    std::atomic<int> exitCode{-1};

    ~Impl() {
        if (pidFd >= 0) {
            close(pidFd);
        }
    }
};

namespace {

// One thread per process watches every pidfd through epoll and turns each exit into the
// watch's private futex word.
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
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = watch->pidFd;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, watch->pidFd, &event) != 0) {
            return errno;
        }
        watches_[watch->pidFd] = watch;
        return 0;
    }

    void Remove(int pidFd) {
        std::lock_guard lock(mutex_);
        if (watches_.erase(pidFd) && epollFd_ >= 0) {
            epoll_ctl(epollFd_, EPOLL_CTL_DEL, pidFd, nullptr);
        }
    }

    // A child made by fork has no watcher thread: start afresh there.
    void ResetAfterFork() {
        new (&mutex_) std::mutex;
        watches_.clear();
        epollFd_ = -1;
        ownerPid_ = 0;
    }

private:
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
                Finish(events[i].data.fd);
            }
        }
    }

    void Finish(int pidFd) {
        std::lock_guard lock(mutex_);
        auto found = watches_.find(pidFd);
        if (found == watches_.end()) {
            return;
        }
        std::shared_ptr<ProcessWatch::Impl> watch = found->second;
        watches_.erase(found);
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, pidFd, nullptr);
        siginfo_t info{};
        int code = -1;
        if (waitid(static_cast<idtype_t>(3 /* P_PIDFD */), static_cast<id_t>(pidFd), &info,
                   WEXITED) == 0) {
            code = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
        }
        watch->exitCode.store(code);
        std::atomic_ref(watch->exitWord).store(1, std::memory_order_release);
        detail::FutexWakeAll(&watch->exitWord, false);
    }

    std::mutex mutex_;
    std::map<int, std::shared_ptr<ProcessWatch::Impl>> watches_;
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
    if (int rc = Watcher::Instance().Add(impl)) {
        return rc;
    }
    out.reset(new ProcessWatch(std::move(impl)));
    return 0;
}

ProcessWatch::ProcessWatch(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

ProcessWatch::~ProcessWatch() {
    Watcher::Instance().Remove(impl_->pidFd);
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
