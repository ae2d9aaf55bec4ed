#include "platform/NamedEvent.h"

#include "Futex.h"
#include "ObjectFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>

namespace qz::platform {

namespace {

// Layout of an event file (64 bytes): magic "TKEV", version, kind (1 auto-reset, 2 manual-reset),
// the state word that waiters sleep on (0 not set, 1 set), the creator's uid, reserved zeros.
struct EventHeader {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint16_t kind;
    std::uint32_t state;
    std::uint32_t creatorUid;
    std::uint8_t reserved[48];
};
static_assert(sizeof(EventHeader) == 64);

constexpr std::uint32_t kEventMagic = 0x56454B54; // "TKEV" in little-endian memory
constexpr std::uint16_t kAutoReset = 1;
constexpr std::uint16_t kManualReset = 2;

} // namespace

struct Event::Impl {
    detail::ObjectFile file;     // named events
    EventHeader privateHeader{}; // unnamed events
    EventHeader* header = nullptr;
    bool shared = false;

    std::atomic_ref<std::uint32_t> State() const { return std::atomic_ref(header->state); }
};

namespace {

int CheckEvent(const void* view, std::size_t size) {
    if (size < sizeof(EventHeader)) {
        return EPROTOTYPE;
    }
    auto* header = static_cast<EventHeader*>(const_cast<void*>(view));
    std::uint32_t magic = std::atomic_ref(header->magic).load(std::memory_order_acquire);
    if (magic != kEventMagic || (header->kind != kAutoReset && header->kind != kManualReset)) {
        return EPROTOTYPE;
    }
    return 0;
}

} // namespace

int Event::Create(std::string_view name, bool manualReset, bool initiallySet, ObjectAccess access,
                  std::unique_ptr<Event>& out) {
    auto impl = std::make_unique<Impl>();
    auto init = [&](EventHeader* header) {
        header->version = 1;
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
            return rc;
        }
        impl->header = static_cast<EventHeader*>(impl->file.view);
        impl->shared = true;
    }
    out.reset(new Event(std::move(impl)));
    return 0;
}

int Event::Open(std::string_view name, std::unique_ptr<Event>& out) {
    if (name.empty()) {
        return EINVAL;
    }
    auto impl = std::make_unique<Impl>();
    detail::ObjectRequest request;
    request.name = name;
    request.size = sizeof(EventHeader);
    request.create = false;
    request.check = CheckEvent;
    if (int rc = detail::OpenObject(request, impl->file)) {
        return rc;
    }
    impl->header = static_cast<EventHeader*>(impl->file.view);
    impl->shared = true;
    out.reset(new Event(std::move(impl)));
    return 0;
}

Event::Event(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Event::~Event() = default;

int Event::Set() {
    // Wake all even for auto-reset events: a woken multi-waiter may take another object and
    // leave this one set, which would strand a single wake-up.
    if (impl_->State().exchange(1, std::memory_order_acq_rel) == 0) {
        detail::FutexWakeAll(&impl_->header->state, impl_->shared);
    }
    return 0;
}

int Event::Reset() {
    impl_->State().store(0, std::memory_order_release);
    return 0;
}

bool Event::IsSet() const {
    return impl_->State().load(std::memory_order_acquire) == 1;
}

bool Event::IsManualReset() const {
    return impl_->header->kind == kManualReset;
}

bool Event::AlreadyExisted() const {
    return impl_->file.existed;
}

Waitable::Take Event::TryTake() {
    if (IsManualReset()) {
        return IsSet() ? Take::Taken : Take::NotReady;
    }
    std::uint32_t expected = 1;
    return impl_->State().compare_exchange_strong(expected, 0, std::memory_order_acq_rel)
               ? Take::Taken
               : Take::NotReady;
}

bool Event::IsReady() const {
    return IsSet();
}

void Event::Untake() {
    if (!IsManualReset()) {
        Set();
    }
}

std::uint32_t* Event::Word(bool& shared) {
    shared = impl_->shared;
    return &impl_->header->state;
}

} // namespace qz::platform
