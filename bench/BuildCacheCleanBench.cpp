// The build cache clean's folder-tree deletion beside `rm -rf` of the same tree, in the same
// run: a cache file store of 100,000 files in 1,000 folders (two levels of 100 and 10 folders,
// 100 small files in each leaf). Tree creation is not timed.
//
//   build/release/bench/BuildCacheCleanBench

#include "BuildCacheHelper.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr int kTopFolders = 100;
constexpr int kLeafFolders = 10;
constexpr int kFilesPerLeaf = 100;

// The run's own folder, removed at the end.
struct BenchFolder {
    BenchFolder() {
        char pattern[] = "/tmp/qzbench.XXXXXX";
        if (mkdtemp(pattern)) {
            path = pattern;
        }
    }
    ~BenchFolder() {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;

    std::string path;
};

BenchFolder g_folder;

std::string MakeTree() {
    if (g_folder.path.empty()) {
        std::abort();
    }
    std::string root = g_folder.path + "/FileCache";
    for (int top = 0; top < kTopFolders; ++top) {
        for (int leaf = 0; leaf < kLeafFolders; ++leaf) {
            std::string folder = root + "/" + std::to_string(top) + "/" + std::to_string(leaf);
            std::filesystem::create_directories(folder);
            for (int file = 0; file < kFilesPerLeaf; ++file) {
                std::string path = folder + "/entry" + std::to_string(file) + ".bin";
                if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
                    std::fputs("cached", f);
                    std::fclose(f);
                }
            }
        }
    }
    return root;
}

void BM_CacheCleanDeleteFolderTree(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        std::string root = MakeTree();
        state.ResumeTiming();
        if (!qz::nv::TBuildCacheHelper::DeleteFolderTree(root + "/")) {
            state.SkipWithError("the tree was not deleted");
        }
    }
    state.counters["files"] = kTopFolders * kLeafFolders * kFilesPerLeaf;
}

void BM_RmRfBaseline(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        std::string root = MakeTree();
        std::string command = "rm -rf '" + root + "'";
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0 || std::filesystem::exists(root)) {
            state.SkipWithError("rm -rf failed");
        }
    }
    state.counters["files"] = kTopFolders * kLeafFolders * kFilesPerLeaf;
}

// Alternating order, several rounds each, so that the page cache and the file system's state
// favour neither.
BENCHMARK(BM_RmRfBaseline)->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(2);
BENCHMARK(BM_CacheCleanDeleteFolderTree)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->Repetitions(2);

} // namespace
