#include "platform/FolderTree.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qz::platform {
namespace {

namespace fs = std::filesystem;

bool All(std::string_view) {
    return true;
}

class FolderTree : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(outside_);
        test::WriteFile(outside_ + "/keep.txt", "precious");
        fs::create_directories(tree_ + "/a/b/c");
        test::WriteFile(tree_ + "/a/b/c/f", "1");
        test::WriteFile(tree_ + "/a/.hidden", "1");
        fs::create_directories(tree_ + "/.dotfolder");
        test::WriteFile(tree_ + "/.dotfolder/x", "1");
        test::WriteFile(tree_ + "/top", "1");
        fs::permissions(tree_ + "/top", fs::perms::none);
    }
    bool OutsideIntact() const {
        return test::ReadFile(outside_ + "/keep.txt").value_or("") == "precious";
    }

    test::TempDir dir_;
    std::string tree_ = dir_ / "tree";
    std::string outside_ = dir_ / "outside";
};

TEST_F(FolderTree, DeletesEverythingBelowIncludingDotEntries) {
    FolderTreeResult result = DeleteMatchingEntries(tree_, All);
    EXPECT_TRUE(result.opened && result.matched && result.complete);
    EXPECT_EQ(result.error, 0);
    EXPECT_TRUE(fs::is_empty(tree_));
    EXPECT_EQ(test::FailureCode(RemoveFolderOrLink(tree_ + "/")), 0);
    EXPECT_FALSE(fs::exists(tree_));
    EXPECT_EQ(test::FailureCode(RemoveFolderOrLink(tree_)), ENOENT);
}

TEST_F(FolderTree, LinksInsideAreRemovedNeverFollowed) {
    fs::create_directory_symlink(outside_, tree_ + "/a/b/to-outside");
    fs::create_symlink(outside_ + "/keep.txt", tree_ + "/file-link");
    fs::create_symlink(dir_ / "nowhere", tree_ + "/dangling");
    FolderTreeResult result = DeleteMatchingEntries(tree_, All);
    EXPECT_TRUE(result.complete);
    EXPECT_TRUE(fs::is_empty(tree_));
    EXPECT_TRUE(OutsideIntact());
}

TEST_F(FolderTree, AFolderThatIsALinkIsNotEntered) {
    std::string link = dir_ / "cache-link";
    fs::create_directory_symlink(outside_, link);
    for (const std::string& name : {link, link + "/", link + "//"}) {
        FolderTreeResult result = DeleteMatchingEntries(name, All);
        EXPECT_FALSE(result.opened) << name;
        EXPECT_TRUE(result.error == ENOTDIR || result.error == ELOOP) << name;
    }
    EXPECT_TRUE(OutsideIntact());
    EXPECT_EQ(test::FailureCode(RemoveFolderOrLink(link + "/")), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_TRUE(OutsideIntact());
    EXPECT_EQ(QueryEntryKind(link), EntryKind::Missing);
}

TEST_F(FolderTree, OnlyMatchingNamesAreTouched) {
    fs::create_directories(tree_ + "/x.rdb/inner");
    test::WriteFile(tree_ + "/x.rdb/inner/y.rdb", "1");
    test::WriteFile(tree_ + "/x.rdb/z.rdb", "1");
    test::WriteFile(tree_ + "/dump.rdb", "1");
    auto rdb = [](std::string_view name) {
        return name.size() >= 4 && name.substr(name.size() - 4) == ".rdb";
    };
    FolderTreeResult result = DeleteMatchingEntries(tree_, rdb);
    EXPECT_TRUE(result.matched);
    // "inner" does not match, so it and x.rdb stay; z.rdb goes.
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(result.error, ENOTEMPTY);
    EXPECT_FALSE(fs::exists(tree_ + "/dump.rdb"));
    EXPECT_FALSE(fs::exists(tree_ + "/x.rdb/z.rdb"));
    EXPECT_TRUE(fs::exists(tree_ + "/x.rdb/inner/y.rdb"));
    EXPECT_TRUE(fs::exists(tree_ + "/top"));

    FolderTreeResult none = DeleteMatchingEntries(tree_ + "/a", rdb);
    EXPECT_TRUE(none.opened && none.complete);
    EXPECT_FALSE(none.matched);
}

TEST_F(FolderTree, MissingAndNonFolderStartingPoints) {
    EXPECT_EQ(DeleteMatchingEntries(dir_ / "missing", All).error, ENOENT);
    EXPECT_EQ(DeleteMatchingEntries("", All).error, ENOENT);
    EXPECT_EQ(DeleteMatchingEntries(tree_ + "/top", All).error, ENOTDIR);
    EXPECT_TRUE(fs::exists(tree_ + "/top"));
    EXPECT_EQ(QueryEntryKind(tree_ + "/top"), EntryKind::File);
    EXPECT_EQ(QueryEntryKind(tree_ + "/a/"), EntryKind::Folder);
    EXPECT_EQ(test::FailureCode(RemoveFolderOrLink(tree_ + "/a")), ENOTEMPTY);
}

TEST_F(FolderTree, NestingBeyondTheLimitIsLeftNotCrashedOn) {
    std::string deep = tree_;
    for (int i = 0; i < kFolderTreeMaxDepth + 20; ++i) {
        deep += "/d";
    }
    fs::create_directories(deep);
    test::WriteFile(deep + "/f", "1");
    FolderTreeResult result = DeleteMatchingEntries(tree_, All);
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(result.error, ELOOP);
    EXPECT_TRUE(fs::exists(deep + "/f"));
    EXPECT_FALSE(fs::exists(tree_ + "/a"));
}

// An attacker keeps swapping folders of the tree for links to the outside while the deletion
// runs; whatever interleaving happens, nothing outside may go.
TEST_F(FolderTree, SwappingFoldersForLinksDuringTheDeletionCannotReachOutside) {
    for (int round = 0; round < 5; ++round) {
        fs::create_directories(tree_);
        for (int i = 0; i < 40; ++i) {
            std::string sub = tree_ + "/s" + std::to_string(i);
            fs::create_directories(sub + "/deeper");
            for (int j = 0; j < 20; ++j) {
                test::WriteFile(sub + "/deeper/f" + std::to_string(j), "x");
            }
        }
        std::atomic<bool> stop{false};
        std::thread attacker([&] {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            int n = 0;
            while (!stop && std::chrono::steady_clock::now() < deadline) {
                std::string sub = tree_ + "/s" + std::to_string(n % 40);
                std::string moved = dir_ / ("moved" + std::to_string(n));
                if (std::rename(sub.c_str(), moved.c_str()) == 0) {
                    symlink(outside_.c_str(), sub.c_str());
                }
                std::string deeper = tree_ + "/s" + std::to_string((n + 7) % 40) + "/deeper";
                std::string movedDeeper = dir_ / ("moved-deeper" + std::to_string(n));
                if (std::rename(deeper.c_str(), movedDeeper.c_str()) == 0) {
                    symlink(outside_.c_str(), deeper.c_str());
                }
                ++n;
            }
        });
        DeleteMatchingEntries(tree_, All);
        stop = true;
        attacker.join();
        EXPECT_TRUE(OutsideIntact()) << "round " << round;
        EXPECT_TRUE(fs::exists(outside_));
        fs::remove_all(tree_);
    }
}

TEST_F(FolderTree, FolderFilesOnlyRegularFilesDirectlyInTheFolder) {
    fs::create_symlink(outside_ + "/keep.txt", tree_ + "/file-link");
    fs::create_symlink(dir_ / "nowhere", tree_ + "/dangling");
    test::WriteFile(tree_ + "/second", "2");
    std::vector<std::string> seen;
    FolderTreeResult result = DeleteFolderFiles(tree_, [&](const FolderFileFacts& file) {
        seen.emplace_back(file.name);
        EXPECT_EQ(file.owner, static_cast<std::uint32_t>(geteuid()));
        EXPECT_GT(file.modifiedNs, 0);
        return file.name != "second";
    });
    EXPECT_TRUE(result.opened && result.matched && result.complete);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"second", "top"})); // no link, folder or ".."
    EXPECT_FALSE(fs::exists(tree_ + "/top"));
    EXPECT_TRUE(fs::exists(tree_ + "/second"));
    EXPECT_TRUE(fs::is_symlink(tree_ + "/file-link"));
    EXPECT_TRUE(fs::is_symlink(tree_ + "/dangling"));
    EXPECT_TRUE(fs::exists(tree_ + "/a/b/c/f")); // nothing below the folder
    EXPECT_TRUE(OutsideIntact());
}

TEST_F(FolderTree, FolderFilesByOneName) {
    auto any = [](const FolderFileFacts&) { return true; };
    fs::create_symlink(outside_ + "/keep.txt", tree_ + "/file-link");
    EXPECT_FALSE(DeleteFolderFiles(tree_, any, "file-link").matched);
    EXPECT_TRUE(fs::is_symlink(tree_ + "/file-link"));
    EXPECT_FALSE(DeleteFolderFiles(tree_, any, "a").matched); // a folder
    EXPECT_TRUE(fs::exists(tree_ + "/a"));
    FolderTreeResult missing = DeleteFolderFiles(tree_, any, "missing");
    EXPECT_TRUE(missing.opened && missing.complete && !missing.matched);
    for (std::string_view bad : {"a/.hidden", ".", "..", "../outside/keep.txt"}) {
        FolderTreeResult result = DeleteFolderFiles(tree_, any, bad);
        EXPECT_EQ(result.error, EINVAL) << bad;
        EXPECT_FALSE(result.opened) << bad;
    }
    EXPECT_EQ(DeleteFolderFiles(tree_, any, std::string_view("top\0x", 5)).error, EINVAL);
    EXPECT_TRUE(fs::exists(tree_ + "/a/.hidden"));
    EXPECT_TRUE(OutsideIntact());
    FolderTreeResult top = DeleteFolderFiles(tree_, any, "top");
    EXPECT_TRUE(top.matched && top.complete);
    EXPECT_FALSE(fs::exists(tree_ + "/top"));
    std::string link = dir_ / "tree-link";
    fs::create_directory_symlink(outside_, link);
    EXPECT_FALSE(DeleteFolderFiles(link, any, "keep.txt").opened);
    EXPECT_FALSE(DeleteFolderFiles(link, any).opened);
    EXPECT_TRUE(OutsideIntact());
}

} // namespace
} // namespace qz::platform
