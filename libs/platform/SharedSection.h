#pragma once

// A named section of shared memory: a zero-filled block of a fixed size that several processes
// map read-write under one name. The name lives while any process holds a section object for it;
// the last one to close it removes the name.

#include "platform/NamedObjects.h"

#include <cstddef>
#include <memory>
#include <string_view>

namespace qz::platform {

class SharedSection {
public:
    /// Opens the section of that name, or creates it zero-filled with the size when the name is
    /// free (create true). An existing section must be at least size bytes. Fails with ENOENT
    /// (open only and no such section) or EPROTOTYPE (too small), or another system error code.
    static Result<std::unique_ptr<SharedSection>> Open(std::string_view name, std::size_t size,
                                                       bool create, ObjectAccess access);

    /// Like Open with create, but the name is never removed by a closer (machine-wide blocks that
    /// live until reboot).
    static Result<std::unique_ptr<SharedSection>>
    OpenPersistent(std::string_view name, std::size_t size, ObjectAccess access);

    ~SharedSection();
    SharedSection(const SharedSection&) = delete;
    SharedSection& operator=(const SharedSection&) = delete;

    /// The mapped view (valid until destruction) and its size, which may exceed the requested one.
    void* Data() const;
    std::size_t Size() const;

    /// True when the name was in use when this object opened it.
    bool AlreadyExisted() const;

private:
    struct Impl;
    explicit SharedSection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace qz::platform
