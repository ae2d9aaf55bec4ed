#include "CommandFiles.h"

#include "CM/Exceptions.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <unistd.h>

namespace qz::agent {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kHourNs = 3600LL * 1000000000;
constexpr std::int64_t kNowNs = 1'800'000'000LL * 1000000000;

class FakeConsole : public TConsoleLink {
public:
    TConsoleState State() override { return state; }
    TConsoleState state = TConsoleState::Connected;
};

std::uint32_t Me() {
    return static_cast<std::uint32_t>(geteuid());
}

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(CommandFileRule, WhichFilesFoundAtTheStartGo) {
    const std::string name = CommandFileName(NewGuid());
    const std::string running = CommandFileName(NewGuid());
    TStaleCommandFileRule rule{{Me(), 0}, {running}, kNowNs};
    auto stale = [&](std::string_view fileName, std::int64_t ageNs, std::uint32_t owner = Me()) {
        platform::FolderFileFacts file;
        file.name = fileName;
        file.owner = owner;
        file.modifiedNs = kNowNs - ageNs;
        return IsStaleCommandFile(file, rule);
    };
    EXPECT_TRUE(stale(name, 25 * kHourNs));
    EXPECT_TRUE(stale(name, 24 * kHourNs)); // a day exactly
    EXPECT_TRUE(stale(name, 25 * kHourNs, 0));
    EXPECT_FALSE(stale(name, 23 * kHourNs));           // a young file: maybe a build in flight
    EXPECT_FALSE(stale(name, -kHourNs));               // from the future
    EXPECT_FALSE(stale(name, 25 * kHourNs, Me() + 1)); // a user the agent does not answer
    EXPECT_FALSE(stale(running, 25 * kHourNs));        // a build the agent knows
    std::string lower = running;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_FALSE(stale(lower, 25 * kHourNs)); // the same build, spelled otherwise
    std::string stem = name.substr(0, name.size() - kCommandFileSuffix.size());
    for (const std::string& other :
         {std::string(".nv_bld_cmd"), stem, stem + ".nv_mon", name + ".tmp", "x" + name,
          std::string("{not-a-build-id}.nv_bld_cmd"), stem + ".NV_BLD_CMD", std::string()}) {
        EXPECT_FALSE(stale(other, 48 * kHourNs)) << other;
    }
}

class CommandFilesTest : public ::testing::Test {
protected:
    std::string Write(const TGuid& id) {
        std::string path = folder_ + "/" + CommandFileName(id);
        test::WriteFile(path, "request");
        return path;
    }
    static void Age(const std::string& path, std::chrono::hours age) {
        fs::last_write_time(path, fs::file_time_type::clock::now() - age);
    }
    TCommandFiles Files(std::vector<std::uint32_t> owners = {Me()}) {
        return TCommandFiles([this] { return folder_; }, std::move(owners));
    }

    test::TempDir dir_;
    std::string folder_ = dir_.path();
};

TEST_F(CommandFilesTest, AtTheStartOnlyOldFilesOfUnknownBuildsGo) {
    const std::string outside = dir_ / "outside";
    fs::create_directories(outside);
    const std::string target = outside + "/" + CommandFileName(NewGuid());
    test::WriteFile(target, "precious");
    Age(target, std::chrono::hours(48));

    const TGuid running = NewGuid();
    const std::string old = Write(NewGuid());
    const std::string runningFile = Write(running);
    const std::string young = Write(NewGuid());
    const std::string link = folder_ + "/" + CommandFileName(NewGuid());
    fs::create_symlink(target, link);
    const std::string otherName = folder_ + "/notes.txt";
    test::WriteFile(otherName, "x");
    const std::string folderNamed = folder_ + "/" + CommandFileName(NewGuid());
    fs::create_directories(folderNamed);
    const std::string below = Write(NewGuid());
    const std::string nested = folderNamed + "/" + CommandFileName(NewGuid());
    fs::rename(below, nested);
    for (const std::string& path : {old, runningFile, otherName, nested}) {
        Age(path, std::chrono::hours(30));
    }
    Age(young, std::chrono::hours(20));

    EXPECT_EQ(Files({Me() + 1}).RemoveStale({running}, NowNs()), 0); // nobody it answers
    EXPECT_TRUE(fs::exists(old));

    EXPECT_EQ(Files().RemoveStale({running}, NowNs()), 1);
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(runningFile));
    EXPECT_TRUE(fs::exists(young));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(test::ReadFile(target).value_or(""), "precious");
    EXPECT_TRUE(fs::exists(otherName));
    EXPECT_TRUE(fs::is_directory(folderNamed));
    EXPECT_TRUE(fs::exists(nested));
}

TEST_F(CommandFilesTest, StartWithoutTheFolderOrItsSettings) {
    folder_ = dir_ / "never-made";
    EXPECT_EQ(Files().RemoveStale({}, NowNs()), 0);
    TCommandFiles unconfigured([]() -> std::string { Raise("no agent folders"); }, {Me()});
    EXPECT_EQ(unconfigured.RemoveStale({}, NowNs()), 0);
    auto console = std::make_shared<FakeConsole>();
    console->state = TConsoleState::Closed;
    unconfigured.BuildEnded(NewGuid(), console);
    EXPECT_FALSE(unconfigured.Pending());
}

TEST_F(CommandFilesTest, AnEndedBuildsFileGoesOnceItsConsoleIsGone) {
    TCommandFiles files = Files();
    const TGuid restarting = NewGuid();
    const TGuid closed = NewGuid();
    const TGuid ended = NewGuid();
    const TGuid running = NewGuid();
    const std::string restartingFile = Write(restarting);
    const std::string closedFile = Write(closed);
    const std::string endedFile = Write(ended);
    const std::string runningFile = Write(running);

    auto connected = std::make_shared<FakeConsole>();
    auto closedConsole = std::make_shared<FakeConsole>();
    closedConsole->state = TConsoleState::Closed;
    auto endedConsole = std::make_shared<FakeConsole>();
    endedConsole->state = TConsoleState::Ended;

    // Its console still waits for the build system's start: it may start it again.
    files.BuildEnded(restarting, connected);
    files.BuildEnded(closed, closedConsole);
    files.BuildEnded(ended, endedConsole);
    files.BuildEnded(NewGuid(), nullptr); // no file, no console
    EXPECT_TRUE(fs::exists(restartingFile));
    EXPECT_FALSE(fs::exists(closedFile));
    EXPECT_FALSE(fs::exists(endedFile));
    EXPECT_TRUE(files.Pending());

    files.Sweep();
    EXPECT_TRUE(fs::exists(restartingFile));
    EXPECT_TRUE(files.Pending());
    connected->state = TConsoleState::Closed;
    files.Sweep();
    EXPECT_FALSE(fs::exists(restartingFile));
    EXPECT_FALSE(files.Pending());
    EXPECT_TRUE(fs::exists(runningFile)); // another build's file stays
}

TEST_F(CommandFilesTest, AnEndedBuildsNameThatIsNotItsFileStays) {
    const std::string outside = dir_ / "outside.txt";
    test::WriteFile(outside, "precious");
    const TGuid linked = NewGuid();
    const TGuid folder = NewGuid();
    const TGuid foreign = NewGuid();
    fs::create_symlink(outside, folder_ + "/" + CommandFileName(linked));
    fs::create_directories(folder_ + "/" + CommandFileName(folder));
    const std::string foreignFile = Write(foreign);
    auto gone = std::make_shared<FakeConsole>();
    gone->state = TConsoleState::Ended;

    TCommandFiles files = Files();
    files.BuildEnded(linked, gone);
    files.BuildEnded(folder, gone);
    EXPECT_TRUE(fs::is_symlink(folder_ + "/" + CommandFileName(linked)));
    EXPECT_EQ(test::ReadFile(outside).value_or(""), "precious");
    EXPECT_TRUE(fs::is_directory(folder_ + "/" + CommandFileName(folder)));

    Files({Me() + 1}).BuildEnded(foreign, gone); // a file of a user the agent does not answer
    EXPECT_TRUE(fs::exists(foreignFile));
}

} // namespace
} // namespace qz::agent
