#pragma once

// Job files: the XML task graph a build runs (the format is described in docs/job-files.md), and
// the one-task jobs of a command line or a shell script. Loading checks the whole graph (ids,
// dependencies, cycles) before anything runs, so that a bad job file never half-runs.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz::tasksmith {

using EnvAdditions = std::vector<std::pair<std::string, std::string>>;

struct JobTask {
    std::string id;
    std::string caption;
    /// The program and its arguments; empty when the task is a shell line.
    std::vector<std::string> arguments;
    /// A line for /bin/sh -c; empty when the task has an argument list.
    std::string shellLine;
    /// The folder the task runs in (absolute).
    std::string folder;
    EnvAdditions environment;
    /// Indexes of the tasks this one waits for (resolved from the ids of the file).
    std::vector<int> dependencies;
    /// Declared files, absolute.
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    /// A shell line that removes what the task made, run by a clean (besides removing outputs).
    std::string cleanLine;
    /// The task may run on another machine.
    bool remote = false;
    /// The task's results may come from the build cache (see docs/build-cache.md).
    bool cacheable = false;
    /// Variables of the environment whose values decide the task's result (part of its cache key).
    std::vector<std::string> cacheEnv;
    /// The line of the task's element in the job file (0 for jobs without a file).
    int line = 0;

    /// The command as one line for messages and events.
    std::string CommandLine() const;
};

struct JobSpec {
    std::string name;
    /// The folder relative names of the job are taken from (the job file's folder).
    std::string baseFolder;
    std::vector<JobTask> tasks;
    /// Tasks at once; 0: the number of online processors.
    int slots = 0;
    /// A failing task does not stop new tasks from starting (its dependents still do not run).
    bool keepGoing = false;
    /// The remote-capable tasks must run on the cluster: a build that cannot reach it fails
    /// instead of running them here.
    bool remoteRequired = false;
    /// Every task's dependencies come before it in this order.
    std::vector<int> order;
};

/// Reads an XML job file. Every problem (damaged XML, unknown elements or attributes, missing
/// or duplicate ids, unknown dependencies, cycles) raises one Exception whose message starts with
/// "Job file <path>" and names the line and the task.
JobSpec LoadJobFile(const std::string& path);

/// As LoadJobFile for XML text; relative folders and files are taken from baseFolder, and
/// messages name sourceName.
JobSpec ParseJobXml(std::string_view text, const std::string& baseFolder,
                    const std::string& sourceName);

/// A job of one task that runs the line through /bin/sh in folder (a /COMMAND job or a script).
JobSpec ShellJob(const std::string& line, const std::string& folder, const std::string& caption);

/// Checks the dependencies (indexes valid, no cycle) and fills job.order; raises as
/// LoadJobFile does, naming sourceName.
void OrderTasks(JobSpec& job, const std::string& sourceName);

/// Quotes an argument for /bin/sh when it needs it.
std::string ShellQuote(const std::string& argument);

} // namespace qz::tasksmith
