#include "platform/SharedSection.h"

#include "ObjectFile.h"

#include <atomic>
#include <cerrno>

namespace qz::platform {

struct SharedSection::Impl {
    detail::ObjectFile file;
};

namespace {

// Sections carry no header, but the event and mutex files that share their namespace do: a
// section refuses a file of exactly such an object's size that starts with its magic word.
int CheckSection(const void* view, std::size_t size) {
    if (size != detail::kEventFileSize && size != detail::kMutexFileSize) {
        return 0;
    }
    std::uint32_t magic =
        std::atomic_ref(*static_cast<std::uint32_t*>(const_cast<void*>(view))).load();
    bool isEvent = size == detail::kEventFileSize && magic == detail::kEventMagic;
    bool isMutex = size == detail::kMutexFileSize && magic == detail::kMutexMagic;
    return isEvent || isMutex ? EPROTOTYPE : 0;
}

int OpenSection(std::string_view name, std::size_t size, bool create, bool persistent,
                ObjectAccess access, detail::ObjectFile& file) {
    detail::ObjectRequest request;
    request.check = CheckSection;
    request.name = name;
    request.size = size;
    request.create = create;
    request.access = access;
    request.persistent = persistent;
    return detail::OpenObject(request, file);
}

} // namespace

Result<std::unique_ptr<SharedSection>> SharedSection::Open(std::string_view name, std::size_t size,
                                                           bool create, ObjectAccess access) {
    auto impl = std::make_unique<Impl>();
    if (int rc = OpenSection(name, size, create, false, access, impl->file)) {
        return Fail(rc, "section " + std::string(name));
    }
    return std::unique_ptr<SharedSection>(new SharedSection(std::move(impl)));
}

Result<std::unique_ptr<SharedSection>>
SharedSection::OpenPersistent(std::string_view name, std::size_t size, ObjectAccess access) {
    auto impl = std::make_unique<Impl>();
    if (int rc = OpenSection(name, size, true, true, access, impl->file)) {
        return Fail(rc, "section " + std::string(name));
    }
    return std::unique_ptr<SharedSection>(new SharedSection(std::move(impl)));
}

SharedSection::SharedSection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SharedSection::~SharedSection() = default;

void* SharedSection::Data() const {
    return impl_->file.view;
}

std::size_t SharedSection::Size() const {
    return impl_->file.size;
}

bool SharedSection::AlreadyExisted() const {
    return impl_->file.existed;
}

} // namespace qz::platform
