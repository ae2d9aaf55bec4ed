#pragma once

// A file descriptor owned by one object: closed on destruction, movable, never copied. Every
// descriptor this folder keeps is held by one. Internal to the platform layer; it includes no
// system header, so a header of the layer may hold one as a member.

#include <utility>

namespace qz::platform::detail {

/// Closes the descriptor: 0, or the system error of the close (a write-back failure shows here;
/// the descriptor is gone either way, also after EINTR).
int CloseDescriptor(int fd);

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    /// Gives the descriptor up without closing it.
    int Release() { return std::exchange(fd_, -1); }
    /// Closes the held descriptor (if any, ignoring errors) and holds fd instead.
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            (void)CloseDescriptor(fd_);
        }
        fd_ = fd;
    }
    /// Closes the held descriptor now: 0 (also when none was held) or the system error of the
    /// close, for writers that must learn of a failed write-back.
    int Close() { return fd_ >= 0 ? CloseDescriptor(std::exchange(fd_, -1)) : 0; }

private:
    int fd_ = -1;
};

} // namespace qz::platform::detail
