#include "platform/ProcessWatch.h"

#include "Futex.h"
#include "UniqueFd.h"

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qz::platform {

// What an epoll event of a watch stands for: the low two bits of its key.
enum Source : std::uint64_t { kExit = 0, kOutput = 1, kError = 2 };

struct ProcessWatch::Impl {
    int pid = 0;
    detail::UniqueFd pidFd;
    bool child = false;         // our child: the watch reaps it
    std::uint64_t serial = 0;   // the watcher's key: never reused, unlike descriptor numbers
    std::uint32_t exitWord = 0; // 1 once the process has ended
    std::atomic<int> exitCode{-1};
    // The captured streams; touched only by the watcher thread once registered.
    detail::UniqueFd streams[3]; // [kOutput] and [kError]; [kExit] unused
    // Guards the handlers: the destructor clears them while no handler runs.
    std::mutex handlerMutex;
    Handlers handlers;
};

namespace {

constexpr idtype_t kPidFd = static_cast<idtype_t>(3); // P_PIDFD
constexpr std::size_t kReadChunk = 64 * 1024;

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

// One thread per process watches every pidfd and captured pipe through epoll. Entries are keyed
// by a serial number: a descriptor number is reused as soon as a watch closes it, and an event
// already fetched for the old watch must not reach the new one.
class Watcher {
public:
    static Watcher& Instance() {
        static Watcher* watcher = new Watcher; // lives until exit: the thread uses it
        return *watcher;
    }

    Result<> Add(const std::shared_ptr<ProcessWatch::Impl>& watch) {
        std::lock_guard lock(mutex_);
        if (auto started = StartLocked(); !started) {
            return started;
        }
        watch->serial = ++lastSerial_;
        for (std::uint64_t source : {kOutput, kError, kExit}) {
            int fd = source == kExit ? watch->pidFd.Get() : watch->streams[source].Get();
            if (fd < 0) {
                continue;
            }
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u64 = watch->serial << 2 | source;
            if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
                auto failure = FailWithLastError("watch process " + std::to_string(watch->pid));
                for (std::uint64_t added : {kOutput, kError}) {
                    if (added != source && watch->streams[added]) {
                        epoll_ctl(epollFd_, EPOLL_CTL_DEL, watch->streams[added].Get(), nullptr);
                    }
                }
                return failure;
            }
        }
        watches_[watch->serial] = {watch, false};
        return {};
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
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, watch->pidFd.Get(), nullptr);
        for (std::uint64_t source : {kOutput, kError}) {
            if (watch->streams[source]) {
                epoll_ctl(epollFd_, EPOLL_CTL_DEL, watch->streams[source].Get(), nullptr);
            }
        }
        watches_.erase(found);
    }

    // A child made by fork has no watcher thread: start afresh there.
    void ResetAfterFork() {
        new (&mutex_) std::mutex;
        // The entries belong to the parent; its descriptors stay open in the child only until
        // exec. Leaked here on purpose: destroying them would close the parent's descriptors'
        // copies under the feet of whatever the forked child does with their numbers.
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

    Result<> StartLocked() {
        if (epollFd_ >= 0 && ownerPid_ == getpid()) {
            return {};
        }
        epollFd_ = epoll_create1(EPOLL_CLOEXEC);
        if (epollFd_ < 0) {
            return FailWithLastError("create the process watcher's epoll set");
        }
        ownerPid_ = getpid();
        std::thread([this, fd = epollFd_] { Run(fd); }).detach();
        return {};
    }

    void Run(int epollFd) {
        std::unique_ptr<char[]> buffer(new char[kReadChunk]); // never zero-filled
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
                std::uint64_t key = events[i].data.u64;
                std::shared_ptr<ProcessWatch::Impl> watch = Find(key >> 2);
                if (!watch) {
                    continue; // removed after the event was fetched
                }
                if ((key & 3) == kExit) {
                    Finish(watch, buffer.get());
                } else {
                    ReadStream(*watch, key & 3, false, buffer.get());
                }
            }
        }
    }

    std::shared_ptr<ProcessWatch::Impl> Find(std::uint64_t serial) {
        std::lock_guard lock(mutex_);
        auto found = watches_.find(serial);
        return found == watches_.end() ? nullptr : found->second.watch;
    }

    // Reads the stream once (or, with drain, until nothing is left) and hands the data over; at
    // its end (or on a read error) hands the end over and closes it.
    void ReadStream(ProcessWatch::Impl& watch, std::uint64_t source, bool drain, char* buffer) {
        detail::UniqueFd& stream = watch.streams[source];
        for (;;) {
            if (!stream) {
                return;
            }
            ssize_t n = read(stream.Get(), buffer, kReadChunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!drain) {
                    return;
                }
                n = 0; // the child has ended: what a descendant may still write is not waited for
            }
            Deliver(watch, source,
                    n > 0 ? std::string_view(buffer, static_cast<std::size_t>(n))
                          : std::string_view());
            if (n <= 0) {
                {
                    std::lock_guard lock(mutex_);
                    epoll_ctl(epollFd_, EPOLL_CTL_DEL, stream.Get(), nullptr);
                }
                stream.Reset();
                return;
            }
            if (!drain) {
                return; // level-triggered: the rest comes with the next event
            }
        }
    }

    void Deliver(ProcessWatch::Impl& watch, std::uint64_t source, std::string_view data) {
        std::lock_guard lock(watch.handlerMutex);
        auto& handler = source == kOutput ? watch.handlers.output : watch.handlers.error;
        if (handler) {
            handler(data);
        }
    }

    void Finish(const std::shared_ptr<ProcessWatch::Impl>& watch, char* buffer) {
        // What the child wrote before its end is in the pipes now; then the outputs end.
        ReadStream(*watch, kOutput, true, buffer);
        ReadStream(*watch, kError, true, buffer);
        {
            std::lock_guard lock(mutex_);
            watches_.erase(watch->serial);
            epoll_ctl(epollFd_, EPOLL_CTL_DEL, watch->pidFd.Get(), nullptr);
        }
        // Outside the lock, and never blocking: a readable pidfd means the process has ended.
        watch->exitCode.store(watch->child ? ReapExitCode(watch->pidFd.Get()) : -1);
        std::atomic_ref(watch->exitWord).store(1, std::memory_order_release);
        detail::FutexWakeAll(&watch->exitWord, false);
        std::lock_guard lock(watch->handlerMutex);
        if (watch->handlers.exited) {
            watch->handlers.exited();
        }
    }

    std::mutex mutex_;
    std::map<std::uint64_t, Entry> watches_;
    std::uint64_t lastSerial_ = 0;
    int epollFd_ = -1;
    pid_t ownerPid_ = 0;
};

} // namespace

Result<std::unique_ptr<ProcessWatch>> ProcessWatch::Open(int pid) {
    auto impl = std::make_shared<Impl>();
    impl->pid = pid;
    impl->pidFd.Reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!impl->pidFd) {
        return FailWithLastError("watch process " + std::to_string(pid));
    }
    impl->child = IsOwnChild(impl->pidFd.Get());
    if (auto added = Watcher::Instance().Add(impl); !added) {
        return tl::unexpected(added.error());
    }
    return std::unique_ptr<ProcessWatch>(new ProcessWatch(std::move(impl)));
}

Result<std::unique_ptr<ProcessWatch>> ProcessWatch::Watch(ChildProcess child, Handlers handlers) {
    if (child.pid_ <= 0 || child.end_) {
        return Fail(EINVAL, "watch a child that was not started or has been reaped");
    }
    auto impl = std::make_shared<Impl>();
    impl->pid = child.pid_;
    impl->pidFd = std::move(child.pidfd_);
    if (!impl->pidFd) {
        impl->pidFd.Reset(static_cast<int>(syscall(SYS_pidfd_open, child.pid_, 0)));
        if (!impl->pidFd) {
            return FailWithLastError("watch process " + std::to_string(child.pid_));
        }
    }
    impl->child = true;
    impl->streams[kOutput] = std::move(child.output_);
    impl->streams[kError] = std::move(child.error_);
    impl->handlers = std::move(handlers);
    child.pid_ = -1; // the watch reaps it now
    if (auto added = Watcher::Instance().Add(impl); !added) {
        return tl::unexpected(added.error());
    }
    return std::unique_ptr<ProcessWatch>(new ProcessWatch(std::move(impl)));
}

ProcessWatch::ProcessWatch(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

ProcessWatch::~ProcessWatch() {
    {
        std::lock_guard lock(impl_->handlerMutex);
        impl_->handlers = {};
    }
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

Result<> ProcessWatch::Signal() {
    return Fail(EPERM, "signal a process");
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

int ThreadCount() {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

} // namespace qz::platform
