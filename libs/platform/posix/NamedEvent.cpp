#include "platform/NamedEvent.h"

#include "Futex.h"
#include "ObjectFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>

namespace qz::platform {

namespace {

// Layout of an event file (64 bytes): magic "TKEV", version, kind (1 auto-reset, 2 manual-reset),
// the state word (0 not set, 1 set), the creator's uid, the generation (bumped by every Set that
// sets a manual-reset event: its waiters sleep on it), reserved zeros. The file may be writable by
// every local user: any other state value is damage, and the kind is read once at open.
struct EventHeader {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint16_t kind;
    std::uint32_t state;
    std::uint32_t creatorUid;
    std::uint32_t generation;
    std::uint8_t reserved[44];
};
static_assert(sizeof(EventHeader) == detail::kEventFileSize);

using detail::kEventMagic;
constexpr std::uint16_t kEventVersion = 1;
constexpr std::uint16_t kAutoReset = 1;
constexpr std::uint16_t kManualReset = 2;

} // namespace

struct Event::Impl {
    detail::ObjectFile file;     // named events
    EventHeader privateHeader{}; // unnamed events
    EventHeader* header = nullptr;
    bool shared = false;
    bool manual = false; // the kind as read at open: the shared copy may change under us

    std::atomic_ref<std::uint32_t> State() const { return std::atomic_ref(header->state); }
    std::atomic_ref<std::uint32_t> Generation() const {
        return std::atomic_ref(header->generation);
    }
};

namespace {

int CheckEvent(const void* view, std::size_t size) {
    if (size < sizeof(EventHeader)) {
        return EPROTOTYPE;
    }
    auto* header = static_cast<EventHeader*>(const_cast<void*>(view));
    std::uint32_t magic = std::atomic_ref(header->magic).load(std::memory_order_acquire);
    if (magic != kEventMagic || header->version != kEventVersion ||
        (header->kind != kAutoReset && header->kind != kManualReset)) {
        return EPROTOTYPE;
    }
    return 0;
}

bool IsManualKind(const EventHeader* header) {
    return std::atomic_ref(const_cast<EventHeader*>(header)->kind).load() == kManualReset;
}

} // namespace

Result<std::unique_ptr<Event>> Event::Create(std::string_view name, bool manualReset,
                                             bool initiallySet, ObjectAccess access) {
    auto impl = std::make_unique<Impl>();
    auto init = [&](EventHeader* header) {
        header->version = kEventVersion;
        header->kind = manualReset ? kManualReset : kAutoReset;
        header->state = initiallySet ? 1 : 0;
        header->creatorUid = geteuid();
        std::atomic_ref(header->magic).store(kEventMagic, std::memory_order_release);
    };
    if (name.empty()) {
        impl->header = &impl->privateHeader;
        init(impl->header);
    } else {
        detail::ObjectRequest request;
        request.name = name;
        request.size = sizeof(EventHeader);
        request.access = access;
        request.init = [&](void* view, std::size_t) { init(static_cast<EventHeader*>(view)); };
        request.check = CheckEvent;
        if (int rc = detail::OpenObject(request, impl->file)) {
            return Fail(rc, "event " + std::string(name));
        }
        impl->header = static_cast<EventHeader*>(impl->file.view);
        impl->shared = true;
    }
    impl->manual = IsManualKind(impl->header);
    return std::unique_ptr<Event>(new Event(std::move(impl)));
}

Result<std::unique_ptr<Event>> Event::Open(std::string_view name) {
    if (name.empty()) {
        return Fail(EINVAL, "event without a name");
    }
    auto impl = std::make_unique<Impl>();
    detail::ObjectRequest request;
    request.name = name;
    request.size = sizeof(EventHeader);
    request.create = false;
    request.check = CheckEvent;
    if (int rc = detail::OpenObject(request, impl->file)) {
        return Fail(rc, "event " + std::string(name));
    }
    impl->header = static_cast<EventHeader*>(impl->file.view);
    impl->shared = true;
    impl->manual = IsManualKind(impl->header);
    return std::unique_ptr<Event>(new Event(std::move(impl)));
}

Event::Event(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Event::~Event() = default;

Result<> Event::Set() {
    // Wake all even for auto-reset events: a woken multi-waiter may take another object and
    // leave this one set, which would strand a single wake-up. A damaged state counts as not set.
    if (impl_->State().exchange(1, std::memory_order_acq_rel) != 1) {
        detail::TestKillPoint("event-set-before-wake");
        if (impl_->manual) {
            // The waiters of a manual-reset event sleep on the generation: a Reset right after
            // this Set must not put back to sleep the waiters this Set released.
            impl_->Generation().fetch_add(1, std::memory_order_acq_rel);
            detail::FutexWakeAll(&impl_->header->generation, impl_->shared);
        } else {
            detail::FutexWakeAll(&impl_->header->state, impl_->shared);
        }
    }
    return {};
}

Result<> Event::Reset() {
    impl_->State().store(0, std::memory_order_release);
    return {};
}

bool Event::IsSet() const {
    return impl_->State().load(std::memory_order_acquire) == 1;
}

bool Event::IsManualReset() const {
    return impl_->manual;
}

bool Event::AlreadyExisted() const {
    return impl_->file.existed;
}

Waitable::Take Event::TryTake() {
    std::uint32_t expected = 1;
    if (IsManualReset()) {
        expected = impl_->State().load(std::memory_order_acquire);
    } else if (impl_->State().compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
        return Take::Taken;
    }
    if (expected > 1) {
        return Take::Damaged;
    }
    return expected == 1 && IsManualReset() ? Take::Taken : Take::NotReady;
}

bool Event::IsReady() const {
    return IsSet();
}

void Event::Untake() {
    if (!IsManualReset()) {
        Set();
    }
}

std::uint32_t Event::Stamp() const {
    return IsManualReset() ? impl_->Generation().load(std::memory_order_acquire) : 0;
}

Waitable::Take Event::TryTakeSince(std::uint32_t stamp) {
    Take take = TryTake();
    if (take == Take::NotReady && IsManualReset() &&
        impl_->Generation().load(std::memory_order_acquire) != stamp) {
        return Take::Taken; // set (and maybe reset again) while this waiter slept
    }
    return take;
}

std::uint32_t* Event::SleepWord(std::uint32_t stamp, bool& shared, std::uint32_t& idle) {
    shared = impl_->shared;
    if (IsManualReset()) {
        idle = stamp;
        return &impl_->header->generation;
    }
    idle = 0;
    return &impl_->header->state;
}

bool Event::IsDamaged() const {
    return impl_->State().load(std::memory_order_acquire) > 1;
}

std::uint32_t* Event::Word(bool& shared) {
    shared = impl_->shared;
    return &impl_->header->state;
}

} // namespace qz::platform
