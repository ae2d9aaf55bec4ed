#include "platform/Diagnostics.h"

#include "UniqueFd.h"
#include "WriteAll.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <link.h>
#include <mutex>
#include <pthread.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <ucontext.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define QZ_NO_ASAN __attribute__((no_sanitize_address))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZ_NO_ASAN __attribute__((no_sanitize_address))
#endif
#endif
#ifndef QZ_NO_ASAN
#define QZ_NO_ASAN
#endif

namespace qz::platform::diag {

namespace {

struct Range {
    std::uintptr_t begin;
    std::uintptr_t end;
};

constexpr std::size_t kMaxRanges = 256;

// The readable, executable segments of every loaded module.
struct CodeRanges {
    Range ranges[kMaxRanges];
    std::size_t count = 0;
};

int CollectSegment(dl_phdr_info* info, size_t, void* data) {
    auto* code = static_cast<CodeRanges*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && (header.p_flags & PF_X) && (header.p_flags & PF_R) &&
            code->count < kMaxRanges) {
            std::uintptr_t begin = info->dlpi_addr + header.p_vaddr;
            code->ranges[code->count++] = Range{begin, begin + header.p_memsz};
        }
    }
    return 0;
}

void CollectCodeRanges(CodeRanges& code) {
    code.count = 0;
    dl_iterate_phdr(&CollectSegment, &code);
}

bool InCode(const CodeRanges& code, std::uintptr_t first, std::uintptr_t last) {
    if (first > last) {
        return false;
    }
    for (std::size_t i = 0; i < code.count; ++i) {
        if (first >= code.ranges[i].begin && last <= code.ranges[i].end) {
            return true;
        }
    }
    return false;
}

constexpr std::uintptr_t kLowestApplicationAddress = 0x10000;

// The address of the call instruction that returns to `address`, or 0. The forms are those a
// compiler emits for direct, indirect, register and memory calls (a REX prefix may precede the
// 0xFF opcode and is then simply not part of the recorded address).
QZ_NO_ASAN std::uintptr_t CallSiteBefore(const CodeRanges& code, std::uintptr_t address) {
#if defined(__x86_64__) || defined(__i386__)
    if (address < kLowestApplicationAddress || address > UINTPTR_MAX - 16 ||
        !InCode(code, address - 6, address + 4)) {
        return 0;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(address);
    unsigned char modrm2 = bytes[-1];
    if (bytes[-2] == 0xFF &&
        ((modrm2 >= 0xD0 && modrm2 <= 0xDF) ||
         (modrm2 >= 0x10 && modrm2 <= 0x1F && modrm2 != 0x14 && modrm2 != 0x15))) {
        return address - 2;
    }
    if (bytes[-6] == 0xFF && (bytes[-5] == 0x15 || bytes[-5] == 0x1D)) {
        return address - 6;
    }
    if (bytes[-3] == 0xFF && bytes[-2] >= 0x50 && bytes[-2] <= 0x5F) {
        return address - 3;
    }
    if (bytes[-5] == 0xE8) {
        return address - 5;
    }
    if (bytes[-6] == 0xFF && bytes[-5] >= 0x90 && bytes[-5] <= 0x9F) {
        return address - 6;
    }
    return 0;
#else
    (void)code;
    (void)address;
    return 0;
#endif
}

// Scans [from, to) word by word. Must stay async-signal-safe: it runs in the sampling handler.
QZ_NO_ASAN void ScanWords(const CodeRanges& code, std::uintptr_t from, std::uintptr_t to,
                          std::uintptr_t* out, std::size_t& count, std::size_t max) {
    constexpr std::uintptr_t kWord = sizeof(std::uintptr_t);
    from = (from + kWord - 1) & ~(kWord - 1);
    for (std::uintptr_t at = from; at + kWord <= to && count < max; at += kWord) {
        std::uintptr_t word = *reinterpret_cast<const volatile std::uintptr_t*>(at);
        if (std::uintptr_t site = CallSiteBefore(code, word)) {
            out[count++] = site;
        }
    }
}

struct StackBounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
};

StackBounds CurrentStackBounds() {
    thread_local StackBounds bounds;
    if (bounds.high == 0) {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* address = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &address, &size) == 0) {
                bounds.low = reinterpret_cast<std::uintptr_t>(address);
                bounds.high = bounds.low + size;
            }
            pthread_attr_destroy(&attr);
        }
    }
    return bounds;
}

// Thread sampling: the sampler fills the request, signals the thread and waits; the handler
// claims the request with a compare-and-swap so that a late signal after a time-out finds
// nothing to write into.
enum SampleState : int { kIdle, kPending, kRunning, kDone };

constexpr std::size_t kMaxSites = 1024;

struct SampleRequest {
    std::atomic<int> state{kIdle};
    int threadId = 0;
    CodeRanges code;
    Range stacks[kMaxRanges];
    std::size_t stackCount = 0;
    std::uintptr_t ip = 0;
    std::uintptr_t sp = 0;
    std::uintptr_t sites[kMaxSites];
    std::size_t siteCount = 0;
    std::size_t max = 0;
    sem_t done;
};

SampleRequest& Request() {
    static SampleRequest request;
    return request;
}

std::mutex& SampleLock() {
    static std::mutex lock;
    return lock;
}

int SampleSignal() {
    return SIGRTMIN + 5;
}

QZ_NO_ASAN void SampleHandler(int, siginfo_t*, void* context) {
    int savedErrno = errno;
    SampleRequest& request = Request();
    int expected = kPending;
    if (static_cast<int>(syscall(SYS_gettid)) == request.threadId &&
        request.state.compare_exchange_strong(expected, kRunning)) {
        auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
        request.ip = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
        request.sp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__i386__)
        request.ip = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
        request.sp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_ESP]);
#else
        (void)uc;
#endif
        request.siteCount = 0;
        for (std::size_t i = 0; i < request.stackCount; ++i) {
            if (request.sp >= request.stacks[i].begin && request.sp < request.stacks[i].end) {
                ScanWords(request.code, request.sp, request.stacks[i].end, request.sites,
                          request.siteCount, request.max);
                break;
            }
        }
        request.state.store(kDone);
        sem_post(&request.done);
    }
    errno = savedErrno;
}

void InstallSampleHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        sem_init(&Request().done, 0, 0);
        struct sigaction action {};
        action.sa_sigaction = &SampleHandler;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SampleSignal(), &action, nullptr);
    });
}

// The writable mappings of the process: every thread stack is one of them.
void CollectWritableRanges(Range* ranges, std::size_t& count) {
    count = 0;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line) && count < kMaxRanges) {
        unsigned long begin = 0;
        unsigned long end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, perms) == 3 && perms[0] == 'r' &&
            perms[1] == 'w') {
            ranges[count++] = Range{begin, end};
        }
    }
}

int MakeFolders(const std::string& folder) {
    if (folder.empty() || folder == "/") {
        return 0;
    }
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    }
    size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (int error = MakeFolders(folder.substr(0, slash))) {
            return error;
        }
    }
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        return errno;
    }
    return 0;
}

} // namespace

int ProcessId() {
    return static_cast<int>(getpid());
}

int ThreadId() {
    return static_cast<int>(gettid());
}

bool IsModuleLoaded(std::string_view nameFragment) {
    struct Search {
        std::string_view fragment;
        bool found = false;
    } search{nameFragment};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            if (info->dlpi_name &&
                std::string_view(info->dlpi_name).find(s->fragment) != std::string_view::npos) {
                s->found = true;
                return 1;
            }
            return 0;
        },
        &search);
    return search.found;
}

std::uintptr_t CurrentStackPointer() {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

void ScanCallSites(std::uintptr_t stackPointer, std::vector<std::uintptr_t>& out, std::size_t max) {
    if (out.size() >= max) {
        return;
    }
    StackBounds bounds = CurrentStackBounds();
    if (bounds.high == 0) {
        return;
    }
    stackPointer = std::max(bounds.low, std::min(stackPointer, bounds.high));
    static thread_local CodeRanges code;
    CollectCodeRanges(code);
    std::size_t room = max - out.size();
    std::vector<std::uintptr_t> sites(room);
    std::size_t count = 0;
    ScanWords(code, stackPointer, bounds.high, sites.data(), count, room);
    out.insert(out.end(), sites.begin(), sites.begin() + static_cast<std::ptrdiff_t>(count));
}

std::vector<int> ThreadIds() {
    std::vector<int> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') {
                ids.push_back(std::atoi(entry->d_name));
            }
        }
        closedir(dir);
    }
    return ids;
}

Result<ThreadSample> SampleThread(int threadId, std::size_t max) {
    InstallSampleHandler();
    std::lock_guard<std::mutex> guard(SampleLock());
    SampleRequest& request = Request();
    while (sem_trywait(&request.done) == 0) {
    }
    CollectCodeRanges(request.code);
    CollectWritableRanges(request.stacks, request.stackCount);
    request.threadId = threadId;
    request.max = std::min(max, kMaxSites);
    request.siteCount = 0;
    request.state.store(kPending);
    if (syscall(SYS_tgkill, getpid(), threadId, SampleSignal()) != 0) {
        int error = errno;
        request.state.store(kIdle);
        return Fail(error, "sample thread " + std::to_string(threadId));
    }
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    while (sem_timedwait(&request.done, &deadline) != 0) {
        if (errno == EINTR) {
            continue;
        }
        int expected = kPending;
        if (request.state.compare_exchange_strong(expected, kIdle)) {
            return Fail(ETIMEDOUT, "sample thread " + std::to_string(threadId));
        }
        // The handler has claimed the request; it finishes without blocking.
        while (sem_wait(&request.done) != 0) {
        }
        break;
    }
    ThreadSample sample;
    sample.instructionPointer = request.ip;
    sample.stackPointer = request.sp;
    sample.callSites.assign(request.sites, request.sites + request.siteCount);
    request.state.store(kIdle);
    return sample;
}

Result<std::vector<ProcessorTimes>> ReadProcessorTimes() {
    std::vector<ProcessorTimes> times;
    std::ifstream stat("/proc/stat");
    std::string line;
    while (std::getline(stat, line) && line.compare(0, 3, "cpu") == 0) {
        std::uint64_t values[8] = {};
        size_t space = line.find(' ');
        if (space == std::string::npos ||
            std::sscanf(line.c_str() + space, "%lu %lu %lu %lu %lu %lu %lu %lu", &values[0],
                        &values[1], &values[2], &values[3], &values[4], &values[5], &values[6],
                        &values[7]) < 4) {
            return Fail(0, "/proc/stat: unreadable processor times", FailureKind::Corrupt);
        }
        ProcessorTimes entry;
        entry.idle = values[3] + values[4];
        for (std::uint64_t value : values) {
            entry.total += value;
        }
        times.push_back(entry);
    }
    if (times.empty()) {
        return Fail(0, "/proc/stat: no processor times", FailureKind::Corrupt);
    }
    return times;
}

std::uint64_t ProcessTimeByName(std::string_view programName) {
    std::uint64_t ticks = 0;
    DIR* dir = opendir("/proc");
    if (!dir) {
        return 0;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        std::ifstream file(std::string("/proc/") + entry->d_name + "/stat");
        std::string text;
        std::getline(file, text);
        // "pid (comm) state ppid ..." where comm may itself hold blanks and parentheses.
        size_t open = text.find('(');
        size_t close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open ||
            text.compare(open + 1, close - open - 1, programName) != 0) {
            continue;
        }
        unsigned long utime = 0;
        unsigned long stime = 0;
        if (std::sscanf(text.c_str() + close + 1,
                        " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                        &stime) == 2) {
            ticks += utime + stime;
        }
    }
    closedir(dir);
    return ticks;
}

SharedLogFile::~SharedLogFile() {
    Close();
}

Result<> SharedLogFile::Open(const std::string& path) {
    Close();
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (int error = MakeFolders(path.substr(0, slash))) {
            return Fail(error, "create the folder of " + path);
        }
    }
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        int error = errno; // before the context's allocation
        return Fail(error, "open " + path);
    }
    return {};
}

void SharedLogFile::Close() {
    detail::UniqueFd(std::exchange(fd_, -1)).Reset();
}

void SharedLogFile::Lock() {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

void SharedLogFile::Unlock() {
    if (fd_ >= 0) {
        flock(fd_, LOCK_UN);
    }
}

std::int64_t SharedLogFile::Size() const {
    struct stat info {};
    return fd_ >= 0 && fstat(fd_, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : 0;
}

void SharedLogFile::KeepTail(std::int64_t keep) {
    std::int64_t size = Size();
    if (fd_ < 0 || size <= keep) {
        return;
    }
    std::string tail(static_cast<size_t>(keep), '\0');
    size_t done = 0;
    while (done < tail.size()) {
        ssize_t n = pread(fd_, tail.data() + done, tail.size() - done,
                          static_cast<off_t>(size - keep) + static_cast<off_t>(done));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return; // leave the file as it is rather than lose its end
        }
        done += static_cast<size_t>(n);
    }
    if (ftruncate(fd_, 0) == 0) {
        Append(tail);
    }
}

Result<> SharedLogFile::Append(std::string_view bytes) {
    if (int error = detail::WriteAll(fd_, bytes.data(), bytes.size())) {
        return Fail(error, "append");
    }
    return {};
}

void SharedLogFile::Flush() {
    if (fd_ >= 0) {
        fdatasync(fd_);
    }
}

} // namespace qz::platform::diag
