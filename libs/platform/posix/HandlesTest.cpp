#include "platform/Handles.h"

#include "platform/SystemError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace qz::platform {
namespace {

TEST(Handles, CloseReleasesTheDescriptorAndRefusesBadOnes) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_TRUE(CloseHandle(fds[0]));
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
    EXPECT_TRUE(CloseHandle(fds[1]));
    Result<> again = CloseHandle(fds[1]);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, EBADF);
    EXPECT_FALSE(CloseHandle(kInvalidHandle));
}

TEST(Handles, UnmapViewReleasesTheMapping) {
    const std::size_t size = 4096;
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(view, MAP_FAILED);
    EXPECT_TRUE(UnmapView(view, size));
    // mincore fails with ENOMEM on an address range that is no longer mapped.
    unsigned char residency = 0;
    EXPECT_EQ(::mincore(view, size, &residency), -1);
    EXPECT_FALSE(UnmapView(reinterpret_cast<void*>(1), size));
}

} // namespace
} // namespace qz::platform
