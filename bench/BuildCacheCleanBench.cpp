// The build cache clean's folder-tree deletion beside `rm -rf` of the same tree, in the same
// run: a cache file store of 100,000 files in 1,000 folders (two levels of 100 and 10 folders,
// 100 small files in each leaf). Tree creation is not timed.
//
//   build/release/bench/BuildCacheCleanBench

#include "BuildCacheHelper.h"

#include <benchmark/benchmark.h>

#include <chrono>
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

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Each round deletes one tree with `rm -rf` and an equal one with the cache clean, so both see
// the same machine load; the counters give the mean times and their ratio.
void BM_CacheCleanBesideRmRf(benchmark::State& state) {
    double rmSeconds = 0;
    double cleanSeconds = 0;
    for (auto _ : state) {
        std::string root = MakeTree();
        std::string command = "rm -rf '" + root + "'";
        auto start = std::chrono::steady_clock::now();
        int status = std::system(command.c_str());
        rmSeconds += Seconds(start);
        if (status != 0 || std::filesystem::exists(root)) {
            state.SkipWithError("rm -rf failed");
            break;
        }

        root = MakeTree();
        start = std::chrono::steady_clock::now();
        bool deleted = qz::nv::TBuildCacheHelper::DeleteFolderTree(root + "/");
        double seconds = Seconds(start);
        cleanSeconds += seconds;
        state.SetIterationTime(seconds);
        if (!deleted) {
            state.SkipWithError("the tree was not deleted");
            break;
        }
    }
    double rounds = static_cast<double>(state.iterations());
    state.counters["files"] = kTopFolders * kLeafFolders * kFilesPerLeaf;
    state.counters["rm_rf_ms"] = rmSeconds * 1000 / rounds;
    state.counters["clean_ms"] = cleanSeconds * 1000 / rounds;
    state.counters["clean_per_rm_rf"] = cleanSeconds / rmSeconds;
}

// Making a tree takes longer than deleting it: one round (run the program again for more).
BENCHMARK(BM_CacheCleanBesideRmRf)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

} // namespace
