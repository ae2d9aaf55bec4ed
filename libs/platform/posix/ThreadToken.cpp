#include "platform/ThreadToken.h"

#include "ObjectFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace qz::platform {

namespace {

// "Tamrel_SessionData_0" keeps its 72-byte layout: the UID counter at 0, reserved zeros after.
// "Tamrel_SessionThreads" holds a 64-byte header and 4096 slots of 64 bytes, each a UID and a
// robust mutex (the token) that the UID's thread holds for its life. When a thread dies without
// releasing, the kernel marks its token owner-died, which every process can read.
constexpr std::size_t kSessionDataSize = 72;
constexpr std::uint32_t kSlotCount = 4096;
constexpr std::uint32_t kTableMagic = 0x54544B54; // "TKTT"
constexpr std::uint32_t kOwnerDied = 0x40000000;
constexpr std::uint32_t kTidMask = 0x3FFFFFFF;

struct TableHeader {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t slotCount;
    std::uint8_t reserved[52];
};

struct Slot {
    std::uint32_t uid;
    std::uint32_t reserved;
    pthread_mutex_t token;
    std::uint8_t padding[64 - 8 - sizeof(pthread_mutex_t)];
};
static_assert(sizeof(TableHeader) == 64 && sizeof(Slot) == 64);

constexpr std::size_t kTableSize = sizeof(TableHeader) + kSlotCount * sizeof(Slot);

struct Tables {
    detail::ObjectFile dataFile;
    detail::ObjectFile tableFile;
    std::uint32_t* counter = nullptr;
    TableHeader* header = nullptr;
    Slot* slots = nullptr;
};

std::mutex g_openLock;
std::atomic<Tables*> g_tables{nullptr};

std::uint32_t LockWord(Slot& slot) {
    return std::atomic_ref(*reinterpret_cast<std::uint32_t*>(&slot.token))
        .load(std::memory_order_acquire);
}

std::atomic_ref<std::uint32_t> SlotUid(Slot& slot) {
    return std::atomic_ref(slot.uid);
}

// glibc's type field of a token as InitTable writes it; another value means a damaged slot.
int TokenKind() {
    static const int kind = [] {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutex_t mutex;
        pthread_mutex_init(&mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        int value = mutex.__data.__kind;
        pthread_mutex_destroy(&mutex);
        return value;
    }();
    return kind;
}

bool TokenKindIntact(Slot& slot) {
    return std::atomic_ref(slot.token.__data.__kind).load(std::memory_order_relaxed) == TokenKind();
}

// The calling thread's token. Plain data, so that it stays usable in thread-local destructors
// that run after the holder's own.
struct TokenState {
    std::uint32_t uid = 0;
    Slot* slot = nullptr;
    bool released = false; // the holder's destructor has run: the thread is ending
};

thread_local TokenState t_token;

// Its destructor runs at thread exit and gives the slot back. A token taken after that (by a
// destructor that runs later) is not given back: it stays held until the thread is gone, and the
// kernel then marks it owner-died, so the UID is reported ended only once the thread has ended.
struct Holder {
    bool armed = false;

    ~Holder() {
        if (t_token.slot) {
            // Clear the UID before unlocking: a reader that still sees the UID then also sees
            // the token held, so a live thread is never reported ended.
            SlotUid(*t_token.slot).store(0, std::memory_order_release);
            pthread_mutex_unlock(&t_token.slot->token);
        }
        t_token.slot = nullptr;
        t_token.uid = 0; // the UID is ended for every other thread: never use it again
        t_token.released = true;
    }
};

thread_local Holder t_holder;

void ForgetAfterFork() {
    // The child's only thread is a copy of the forking one; it does not hold the parent's token.
    t_token.uid = 0;
    t_token.slot = nullptr;
}

void InitTable(void* view, std::size_t) {
    auto* header = static_cast<TableHeader*>(view);
    auto* slots = reinterpret_cast<Slot*>(header + 1);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    for (std::uint32_t i = 0; i < kSlotCount; ++i) {
        pthread_mutex_init(&slots[i].token, &attr);
    }
    pthread_mutexattr_destroy(&attr);
    header->version = 1;
    header->slotCount = kSlotCount;
    std::atomic_ref(header->magic).store(kTableMagic, std::memory_order_release);
}

int CheckTable(const void* view, std::size_t size) {
    auto* header = static_cast<TableHeader*>(const_cast<void*>(view));
    if (size < kTableSize ||
        std::atomic_ref(header->magic).load(std::memory_order_acquire) != kTableMagic ||
        header->slotCount != kSlotCount) {
        return EPROTOTYPE;
    }
    return 0;
}

int OpenTables(Tables*& result) {
    if ((result = g_tables.load(std::memory_order_acquire))) {
        return 0;
    }
    std::lock_guard lock(g_openLock);
    if ((result = g_tables.load(std::memory_order_acquire))) {
        return 0;
    }
    // Both objects are global, shared by all users and kept until reboot; this process keeps
    // them mapped for its whole life.
    auto data = std::make_unique<detail::ObjectFile>();
    detail::ObjectRequest request;
    request.name = "Global\\Tamrel_SessionData_0";
    request.size = kSessionDataSize;
    request.access = ObjectAccess::Shared;
    request.persistent = true;
    if (int rc = detail::OpenObject(request, *data)) {
        return rc;
    }
    auto table = std::make_unique<detail::ObjectFile>();
    request.name = "Global\\Tamrel_SessionThreads";
    request.size = kTableSize;
    request.init = InitTable;
    request.check = CheckTable;
    if (int rc = detail::OpenObject(request, *table)) {
        return rc;
    }
    auto* tables = new Tables; // never freed: the tokens live as long as the process
    tables->dataFile = std::move(*data);
    tables->tableFile = std::move(*table);
    tables->counter = static_cast<std::uint32_t*>(tables->dataFile.view);
    tables->header = static_cast<TableHeader*>(tables->tableFile.view);
    tables->slots = reinterpret_cast<Slot*>(tables->header + 1);
    static const bool atFork = [] { return pthread_atfork(nullptr, nullptr, ForgetAfterFork); }();
    (void)atFork;
    g_tables.store(tables, std::memory_order_release);
    result = tables;
    return 0;
}

} // namespace

Result<> OpenThreadTokens() {
    Tables* tables = nullptr;
    if (int rc = OpenTables(tables)) {
        return Fail(rc, "open the thread token table");
    }
    return {};
}

Result<std::uint32_t> CurrentThreadToken() {
    if (t_token.uid != 0) {
        return t_token.uid;
    }
    Tables* tables = nullptr;
    if (int rc = OpenTables(tables)) {
        return Fail(rc, "open the thread token table");
    }
    std::uint32_t candidate = 0;
    do {
        candidate = std::atomic_ref(*tables->counter).fetch_add(1, std::memory_order_relaxed) + 1;
    } while (candidate == 0 || candidate == 0xFFFFFFFF);
    int lastError = 0;
    for (std::uint32_t i = 0; i < kSlotCount; ++i) {
        Slot& slot = tables->slots[(candidate + i) % kSlotCount];
        if (!TokenKindIntact(slot)) {
            lastError = EUCLEAN; // damaged by someone who can write the table: leave it alone
            continue;
        }
        int rc = pthread_mutex_trylock(&slot.token);
        if (rc == EBUSY) {
            continue;
        }
        if (rc == EOWNERDEAD) {
            // A dead thread's slot: reuse it.
            rc = pthread_mutex_consistent(&slot.token);
            if (rc != 0) {
                pthread_mutex_unlock(&slot.token);
            }
        }
        if (rc != 0) {
            // A poisoned slot (ENOTRECOVERABLE) or a damaged one: skip it, others may be fine.
            lastError = rc;
            continue;
        }
        // Publish the UID only once the token is held.
        SlotUid(slot).store(candidate, std::memory_order_release);
        if (!t_token.released) {
            t_holder.armed = true; // constructs the holder, whose destructor gives the slot back
        }
        t_token.slot = &slot;
        t_token.uid = candidate;
        return candidate;
    }
    return Fail(lastError ? lastError : EAGAIN, "allocate a thread token", FailureKind::Exhausted);
}

Result<bool> IsThreadTokenEnded(std::uint32_t uid) {
    bool ended = false;
    if (uid != 0 && uid == t_token.uid) {
        return false;
    }
    Tables* tables = nullptr;
    if (int rc = OpenTables(tables)) {
        return Fail(rc, "open the thread token table");
    }
    auto check = [&](Slot& slot) {
        if (SlotUid(slot).load(std::memory_order_acquire) != uid) {
            return false;
        }
        std::uint32_t word = LockWord(slot);
        if ((word & kOwnerDied) || (word & kTidMask) == 0) {
            ended = true;
        } else {
            // Held: alive unless the slot was reclaimed for another UID meanwhile.
            ended = SlotUid(slot).load(std::memory_order_acquire) != uid;
        }
        return true;
    };
    if (uid == 0 || uid == 0xFFFFFFFF) {
        return true;
    }
    if (check(tables->slots[uid % kSlotCount])) {
        return ended;
    }
    for (std::uint32_t i = 0; i < kSlotCount; ++i) {
        if (check(tables->slots[i])) {
            return ended;
        }
    }
    return true; // no slot holds it: never handed out, or its thread has ended
}

int LiveThreadTokens() {
    Tables* tables = nullptr;
    if (OpenTables(tables)) {
        return 0;
    }
    int live = 0;
    for (std::uint32_t i = 0; i < kSlotCount; ++i) {
        std::uint32_t word = LockWord(tables->slots[i]);
        if ((word & kTidMask) != 0 && !(word & kOwnerDied) &&
            SlotUid(tables->slots[i]).load(std::memory_order_acquire) != 0) {
            ++live;
        }
    }
    return live;
}

} // namespace qz::platform
