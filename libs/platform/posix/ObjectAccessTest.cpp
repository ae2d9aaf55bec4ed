#include "ObjectFile.h"
#include "TestSupport.h"
#include "UniqueFd.h"
#include "platform/NamedEvent.h"
#include "platform/NamedObjects.h"
#include "platform/SharedSection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// Who may open a named object, and what another local user can (not) do to its openers: modes
// across users, squatted names, locks held by another user, the group mode, and the lifetime of a
// name across fork, crashed creators and racing closers.

namespace qz::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::ForkChild;
using test::WaitChild;

#define SKIP_UNLESS_ROOT()                                                                         \
    if (geteuid() != 0) {                                                                          \
        GTEST_SKIP() << "needs root to run a child as uid 65534";                                  \
    }

class ObjectAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Like /dev/shm: every user may create files, and only owners may remove theirs.
        chmod(dir_.path().c_str(), 01777);
        SetObjectDirectory(dir_.path());
        SetObjectPrefix(test::UniqueName("oa"));
    }
    void TearDown() override {
        SetObjectDirectory("");
        SetObjectPrefix("");
    }

    std::string PathOf(const std::string& name) const {
        std::string file;
        EXPECT_EQ(0, test::Unpack(ObjectFileName(name), file));
        return dir_ / file;
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            names.push_back(entry.path().filename());
        }
        return names;
    }

    test::TempDir dir_;
};

TEST_F(ObjectAccessTest, ModesDecideWhoElseMayOpen) {
    SKIP_UNLESS_ROOT();
    std::unique_ptr<Event> own;
    ASSERT_EQ(0,
              test::Unpack(Event::Create("Global\\Own", true, false, ObjectAccess::Private), own));
    std::unique_ptr<Event> open;
    ASSERT_EQ(0,
              test::Unpack(Event::Create("Global\\Open", true, false, ObjectAccess::Shared), open));
    struct stat st {};
    ASSERT_EQ(0, stat(PathOf("Global\\Own").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_EQ(0, stat(PathOf("Global\\Open").c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 0777);
    int rc = test::RunAsNobody([] {
        std::unique_ptr<Event> event;
        if (test::Unpack(Event::Open("Global\\Own"), event) != EACCES) {
            return 1;
        }
        if (test::Unpack(Event::Open("Global\\Open"), event) != 0) {
            return 2;
        }
        event->Set();
        return 0;
    });
    EXPECT_EQ(0, rc);
    EXPECT_TRUE(open->IsSet());
}

TEST_F(ObjectAccessTest, GroupModeAcceptsAGroupNameAndLetsOnlyThatGroupIn) {
    SKIP_UNLESS_ROOT();
    test::ScopedEnv group("TamrelObjectGroup", "nogroup");
    std::unique_ptr<Event> event;
    ASSERT_EQ(0, test::Unpack(Event::Create("Global\\Grouped", true, false, ObjectAccess::Shared),
                              event));
    struct stat st {};
    ASSERT_EQ(0, stat(PathOf("Global\\Grouped").c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 0777);
    EXPECT_EQ(65534u, st.st_gid);
    auto opener = [] {
        std::unique_ptr<Event> own;
        return test::Unpack(Event::Open("Global\\Grouped"), own);
    };
    EXPECT_EQ(0, test::RunAsNobody(opener));
    EXPECT_EQ(EACCES, test::RunAsNobody(opener, 20s, 12345)); // another group
}

TEST_F(ObjectAccessTest, GroupModeFailsClosed) {
    {
        test::ScopedEnv group("TamrelObjectGroup", "no-such-group-of-this-test");
        std::unique_ptr<Event> event;
        EXPECT_EQ(EINVAL,
                  test::Unpack(Event::Create("Global\\NoGroup", true, false, ObjectAccess::Shared),
                               event));
        EXPECT_EQ(ENOENT, test::Unpack(Event::Open("Global\\NoGroup"), event));
    }
    {
        test::ScopedEnv group("TamrelObjectGroup", "12x");
        std::unique_ptr<Event> event;
        EXPECT_EQ(EINVAL,
                  test::Unpack(Event::Create("Global\\BadGroup", true, false, ObjectAccess::Shared),
                               event));
    }
    {
        test::ScopedEnv group("TamrelObjectGroup", std::to_string(getegid()));
        std::unique_ptr<Event> event;
        EXPECT_EQ(0,
                  test::Unpack(Event::Create("Global\\ByNumber", true, false, ObjectAccess::Shared),
                               event));
        struct stat st {};
        ASSERT_EQ(0, stat(PathOf("Global\\ByNumber").c_str(), &st));
        EXPECT_EQ(0660u, st.st_mode & 0777);
    }
    if (geteuid() == 0) {
        // A user outside the group cannot give it the object: the creation fails, nothing is
        // published, and nothing becomes world-writable instead.
        test::ScopedEnv group("TamrelObjectGroup", "0");
        int rc = test::RunAsNobody([] {
            std::unique_ptr<Event> event;
            return test::Unpack(Event::Create("Global\\Chown", true, false, ObjectAccess::Shared),
                                event);
        });
        EXPECT_EQ(EPERM, rc);
    }
    EXPECT_TRUE(Files().empty()) << Files()[0];
}

TEST_F(ObjectAccessTest, SquattedNamesAreRefusedWithoutBlocking) {
    SKIP_UNLESS_ROOT();
    std::string file = PathOf("Global\\Squatted");
    std::string fifo = PathOf("Global\\Fifo");
    ASSERT_EQ(0, test::RunAsNobody([&] {
                  detail::UniqueFd fd(open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666));
                  if (!fd || ftruncate(fd.Get(), 64) != 0 || mkfifo(fifo.c_str(), 0666) != 0) {
                      return 1;
                  }
                  return 0;
              }));
    // Forked, so that a blocking open fails the test instead of hanging it.
    int child = ForkChild([] {
        std::unique_ptr<Event> event;
        if (test::Unpack(Event::Create("Global\\Squatted", true, false, ObjectAccess::Shared),
                         event) != EACCES) {
            return 1;
        }
        std::unique_ptr<SharedSection> section;
        return test::Unpack(SharedSection::Open("Global\\Fifo", 64, true, ObjectAccess::Shared),
                            section) == EACCES
                   ? 0
                   : 2;
    });
    EXPECT_EQ(0, WaitChild(child, 10s));

    // A file of ours with bits no object file has is not taken for one either.
    std::unique_ptr<SharedSection> section;
    ASSERT_EQ(0, test::Unpack(SharedSection::Open("Global\\Odd", 64, true, ObjectAccess::Private),
                              section));
    chmod(PathOf("Global\\Odd").c_str(), 04755);
    std::unique_ptr<SharedSection> second;
    EXPECT_EQ(
        EACCES,
        test::Unpack(SharedSection::Open("Global\\Odd", 64, false, ObjectAccess::Private), second));
}

TEST(TrustedObjectOwners, OwnRootAndTheListedOnesInOrderWithoutRepeats) {
    // Forked: the environment of the test process stays as it is.
    int child = ForkChild([] {
        const std::uint32_t self = EffectiveUserId();
        if (self != geteuid()) {
            return 1;
        }
        unsetenv("TamrelObjectOwners");
        std::vector<std::uint32_t> alone = TrustedObjectOwners();
        if (alone.front() != self || std::count(alone.begin(), alone.end(), 0u) != 1 ||
            alone.size() != (self == 0 ? 1u : 2u)) {
            return 2;
        }
        // Hostile and odd entries: signs, letters, empty items, overflow, repeats.
        setenv("TamrelObjectOwners", "1000,,x,-5,1000, 7,99999999999999999999,65534,0", 1);
        std::vector<std::uint32_t> listed = TrustedObjectOwners();
        std::vector<std::uint32_t> expected{self};
        for (std::uint32_t uid : {0u, 1000u, 65534u}) {
            if (std::find(expected.begin(), expected.end(), uid) == expected.end()) {
                expected.push_back(uid);
            }
        }
        return listed == expected ? 0 : 3;
    });
    EXPECT_EQ(0, WaitChild(child, 10s));
}

TEST_F(ObjectAccessTest, AnotherUsersExclusiveLockCannotHangAnOpener) {
    SKIP_UNLESS_ROOT();
    // A crashed process leaves a shared event that no handle holds: another user can lock it.
    int crashed = ForkChild([] {
        std::unique_ptr<Event> event;
        if (test::Unpack(Event::Create("Global\\Locked", true, false, ObjectAccess::Shared),
                         event) != 0) {
            return 1;
        }
        (void)event.release(); // ends without closing
        return 0;
    });
    ASSERT_EQ(0, WaitChild(crashed, 10s));
    // An object kept until reboot exists whether or not anybody holds it.
    std::unique_ptr<SharedSection> kept;
    ASSERT_EQ(
        0, test::Unpack(SharedSection::OpenPersistent("Global\\Kept", 4096, ObjectAccess::Shared),
                        kept));
    std::string eventFile = PathOf("Global\\Locked");
    std::string keptFile = PathOf("Global\\Kept");
    int ready[2];
    int release[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(release));
    detail::UniqueFd readyRead(ready[0]), readyWrite(ready[1]);
    detail::UniqueFd releaseRead(release[0]), releaseWrite(release[1]);
    int holder = ForkChild([&] {
        readyRead.Reset();
        releaseWrite.Reset();
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            return 98;
        }
        int a = open(eventFile.c_str(), O_RDWR);
        int b = open(keptFile.c_str(), O_RDWR);
        if (a < 0 || b < 0 || flock(a, LOCK_EX | LOCK_NB) != 0 ||
            flock(b, LOCK_EX | LOCK_NB) != 0) {
            return 1;
        }
        char c = 1;
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1); // holds the locks until the parent is done
        return 0;
    });
    readyWrite.Reset();
    releaseRead.Reset();
    char c = 0;
    bool locked = read(ready[0], &c, 1) == 1; // 0: the holder ended early
    int opener = ForkChild([] {
        auto start = Clock::now();
        std::unique_ptr<Event> own;
        int rc = test::Unpack(Event::Open("Global\\Locked"), own);
        if (rc != EBUSY && rc != 0) {
            return 1;
        }
        if (Clock::now() - start > 5s) {
            return 2;
        }
        std::unique_ptr<SharedSection> section;
        return test::Unpack(
                   SharedSection::OpenPersistent("Global\\Kept", 4096, ObjectAccess::Shared),
                   section) == 0
                   ? 0
                   : 3;
    });
    int rc = locked ? WaitChild(opener, 10s) : (test::KillChild(opener), -3); // -1: it hung
    releaseWrite.Reset();
    readyRead.Reset();
    EXPECT_EQ(0, WaitChild(holder, 10s));
    EXPECT_TRUE(locked);
    EXPECT_EQ(0, rc);
}

TEST_F(ObjectAccessTest, OpenFirstWorksUnderProtectedRegular) {
    SKIP_UNLESS_ROOT();
    const char* knob = "/proc/sys/fs/protected_regular";
    std::string old;
    std::ifstream(knob) >> old;
    if (old.empty() || !std::ofstream(knob).write("2", 1)) {
        GTEST_SKIP() << "cannot set " << knob;
    }
    std::unique_ptr<Event> event;
    ASSERT_EQ(0, test::Unpack(Event::Create("Global\\Protected", true, false, ObjectAccess::Shared),
                              event));
    int rc = test::RunAsNobody([] {
        // Create opens first: an O_CREAT open of root's file in a sticky folder would fail.
        std::unique_ptr<Event> own;
        if (test::Unpack(Event::Create("Global\\Protected", true, false, ObjectAccess::Shared),
                         own) != 0) {
            return 1;
        }
        return own->AlreadyExisted() ? 0 : 2;
    });
    std::ofstream(knob) << old;
    EXPECT_EQ(0, rc);
}

TEST_F(ObjectAccessTest, ForkedChildKeepsTheNameWhenTheParentCloses) {
    std::unique_ptr<Event> event;
    ASSERT_EQ(0, test::Unpack(Event::Create("Global\\Forked", true, false, ObjectAccess::Private),
                              event));
    int closed[2];
    ASSERT_EQ(0, pipe(closed));
    detail::UniqueFd closedRead(closed[0]), closedWrite(closed[1]);
    int child = ForkChild([&] {
        char c = 0;
        if (read(closed[0], &c, 1) != 1) {
            return 1;
        }
        std::unique_ptr<Event> again;
        if (test::Unpack(Event::Open("Global\\Forked"), again) != 0) {
            return 2; // the parent's close removed the name we still use
        }
        event->Set();
        return again->IsSet() ? 0 : 3;
    });
    event.reset();
    char c = 1;
    ASSERT_EQ(1, write(closed[1], &c, 1));
    EXPECT_EQ(0, WaitChild(child, 10s));
    closedRead.Reset();
    closedWrite.Reset();
    // The child ended without closing the handle it inherited: a leftover for the janitor.
    EXPECT_EQ(1, SweepObjectLeftovers());
    EXPECT_TRUE(Files().empty());
}

TEST_F(ObjectAccessTest, CreatorKilledBeforeLinkLeavesNoName) {
    int child = ForkChild([] {
        detail::SetTestKillPoint("create-before-link");
        std::unique_ptr<Event> event;
        test::Unpack(Event::Create("Global\\Unborn", true, true, ObjectAccess::Private), event);
        return 1; // not reached
    });
    ASSERT_EQ(128 + SIGKILL, WaitChild(child, 10s));
    std::unique_ptr<Event> event;
    EXPECT_EQ(ENOENT, test::Unpack(Event::Open("Global\\Unborn"), event));
    std::vector<std::string> files = Files();
    ASSERT_EQ(1u, files.size());
    EXPECT_NE(std::string::npos, files[0].find(".tmp.")); // the half-built file
    EXPECT_EQ(0, SweepObjectLeftovers());                 // too young to be a crash for sure
    // Two minutes later the janitor takes it.
    timespec old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (dir_ / files[0]).c_str(), old, 0));
    EXPECT_EQ(1, SweepObjectLeftovers());
    EXPECT_TRUE(Files().empty());
    EXPECT_EQ(
        0, test::Unpack(Event::Create("Global\\Unborn", true, true, ObjectAccess::Private), event));
    EXPECT_FALSE(event->AlreadyExisted());
}

TEST_F(ObjectAccessTest, OpenerRacingTheLastCloserNeverLosesTheName) {
    // Two processes open and close the same name over and over. Whenever one holds a handle, the
    // name must lead to the very object it holds, and no open may fail.
    constexpr int kRounds = 400;
    std::vector<int> codes = test::ForkChildren(
        2,
        [](int child) {
            for (std::uint32_t round = 1; round <= kRounds; ++round) {
                std::unique_ptr<SharedSection> first;
                if (test::Unpack(
                        SharedSection::Open("Global\\Raced", 8, true, ObjectAccess::Private),
                        first) != 0) {
                    return 1;
                }
                std::unique_ptr<SharedSection> second;
                if (test::Unpack(
                        SharedSection::Open("Global\\Raced", 8, false, ObjectAccess::Private),
                        second) != 0) {
                    return 2;
                }
                // Each process writes only its own word: seen through the first handle, the
                // second is the same object.
                auto* written = static_cast<std::uint32_t*>(second->Data()) + child;
                auto* read = static_cast<std::uint32_t*>(first->Data()) + child;
                std::atomic_ref(*written).store(round);
                if (std::atomic_ref(*read).load() != round) {
                    return 3;
                }
            }
            return 0;
        },
        60s);
    EXPECT_EQ((std::vector<int>{0, 0}), codes);
    EXPECT_TRUE(Files().empty());
}

} // namespace
} // namespace qz::platform
