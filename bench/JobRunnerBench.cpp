// Tasksmith's job engine beside the usual tools, measured in the same run:
//  - scheduling: 1,000 tasks running `true` with 2 slots, beside `ninja -j2` on the same graph;
//  - a real compile: the sample C program's job file with 2 slots, beside `make -j2`.
// Compare the medians of the repetitions.

#include "CM/EnvUtils.h"
#include "JobFile.h"
#include "JobRunner.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/File.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace {

namespace fs = std::filesystem;
using namespace qz::tasksmith;

constexpr int kTasks = 1000;

struct Quiet : TaskObserver {
    void TaskStarted(int, int) override {}
    void TaskOutput(int, std::string_view, bool) override {}
    void TaskFinished(int, int, int, std::uint64_t) override {}
};

fs::path Folder(const char* name) {
    fs::path folder = fs::temp_directory_path() /
                      (std::string("qz-jobbench-") + name + "-" + qz::GuidToText(qz::NewGuid()));
    fs::create_directories(folder);
    return folder;
}

// The processor time of this process so far (user and system), in microseconds.
double ProcessCpuMicros() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

// Each task waits for up to three earlier ones, as in the engine's tests.
std::vector<std::vector<int>> Graph() {
    std::vector<std::vector<int>> deps(kTasks);
    for (int i = 0; i < kTasks; ++i) {
        for (int d : {i / 2 - 1, i - 7, i - 100}) {
            if (d >= 0 && std::find(deps[i].begin(), deps[i].end(), d) == deps[i].end()) {
                deps[i].push_back(d);
            }
        }
    }
    return deps;
}

int Run(const std::vector<std::string>& args, const std::string& folder) {
    qz::platform::ChildProcess child;
    qz::platform::ChildStartOptions options;
    options.arguments = args;
    options.workingDirectory = folder;
    qz::platform::File devnull;
    qz::platform::FileOpenRequest request;
    request.access = qz::platform::FileAccess::Write;
    (void)devnull.Open("/dev/null", request);
    options.stdOut = devnull.Handle();
    options.stdErr = devnull.Handle();
    if (!child.Start(options)) {
        return -1;
    }
    child.Wait(-1);
    return child.ExitCode().value_or(-1);
}

void BM_GraphTasksmith(benchmark::State& state) {
    JobSpec job;
    auto deps = Graph();
    for (int i = 0; i < kTasks; ++i) {
        JobTask t;
        t.id = std::to_string(i);
        t.arguments = {"/bin/true"};
        t.folder = "/";
        t.dependencies = deps[i];
        job.tasks.push_back(t);
    }
    OrderTasks(job, "bench");
    RunSettings settings;
    settings.slots = 2;
    settings.environment = qz::platform::EnvironmentEntries();
    double cpuMicros = 0;
    for (auto _ : state) {
        Quiet quiet;
        const double before = ProcessCpuMicros();
        RunOutcome outcome = RunJob(job, settings, quiet);
        cpuMicros += ProcessCpuMicros() - before;
        if (outcome.built != kTasks) {
            state.SkipWithError("not every task ran");
        }
    }
    // The runner's own processor time (all its threads, not the tasks') per task.
    state.counters["cpu_us_per_task"] =
        cpuMicros / static_cast<double>(kTasks * std::max<std::int64_t>(1, state.iterations()));
}

void BM_GraphNinja(benchmark::State& state) {
    fs::path folder = Folder("ninja");
    {
        std::ofstream out(folder / "build.ninja");
        out << "rule run\n  command = /bin/true\n";
        auto deps = Graph();
        for (int i = 0; i < kTasks; ++i) {
            out << "build t" << i << ": run";
            if (!deps[i].empty()) {
                out << " |";
                for (int d : deps[i]) {
                    out << " t" << d;
                }
            }
            out << "\n";
        }
    }
    for (auto _ : state) {
        // The outputs are never made, so every run runs every task.
        if (Run({"ninja", "-j2", "-f", "build.ninja"}, folder.string()) != 0) {
            state.SkipWithError("ninja failed");
        }
    }
    fs::remove_all(folder);
}

fs::path SampleCopy(const char* name) {
    fs::path folder = Folder(name);
    fs::copy(QZ_EXAMPLES_DIR "/stats", folder,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    return folder;
}

void BM_SampleJobFile(benchmark::State& state) {
    fs::path folder = SampleCopy("job");
    JobSpec job = LoadJobFile((folder / "job.xml").string());
    RunSettings settings;
    settings.slots = 2;
    settings.rebuild = true;
    settings.environment = qz::platform::EnvironmentEntries();
    for (auto _ : state) {
        Quiet quiet;
        if (RunJob(job, settings, quiet).exitCode != 0) {
            state.SkipWithError("the sample build failed");
        }
    }
    fs::remove_all(folder);
}

void BM_SampleMake(benchmark::State& state) {
    fs::path folder = SampleCopy("make");
    for (auto _ : state) {
        state.PauseTiming();
        Run({"make", "-s", "clean"}, folder.string());
        state.ResumeTiming();
        if (Run({"make", "-s", "-j2"}, folder.string()) != 0) {
            state.SkipWithError("make failed");
        }
    }
    fs::remove_all(folder);
}

BENCHMARK(BM_GraphTasksmith)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_GraphNinja)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_SampleJobFile)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_SampleMake)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

} // namespace
