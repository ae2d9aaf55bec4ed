#pragma once

// The profile of an intercepted build (/PROFILE, docs/job-files.md): which programs started by
// a /COMMAND build tool are handed to Tasksmith, which of their runs count (argument patterns
// such as "-c"), which stay here uncounted (probes such as "--version" or "-E"), and which may
// run on remote slots. The request's /ALLOWREMOTE list is applied on top of it.

#include <string>
#include <string_view>
#include <vector>

namespace qz::tasksmith {

struct InterceptTool {
    /// A wildcard pattern: with a "/" it is matched against the program's absolute path,
    /// without one against its file name.
    std::string program;
    /// Runs may go to a remote slot.
    bool remote = false;
    /// When not empty, only runs with an argument matching one of these patterns are counted.
    std::vector<std::string> counted;
    /// Runs with an argument matching one of these patterns stay here, uncounted.
    std::vector<std::string> local;
    /// How long a run may wait for a slot before it runs here uncounted.
    int waitSeconds = 600;
    /// The line of its element (0 for tools named by /ALLOWREMOTE).
    int line = 0;
};

struct InterceptProfile {
    std::string source;
    std::vector<InterceptTool> tools;
};

/// What happens to one intercepted run.
struct ToolDecision {
    /// Index of the matching tool, -1 when no tool matches.
    int tool = -1;
    /// The run takes a slot (otherwise it runs here, uncounted).
    bool counted = false;
    /// The run may take a remote slot.
    bool remote = false;
};

/// Reads a profile file. Every problem raises one Exception whose message starts with
/// "Interception profile <path>" and names the line.
InterceptProfile LoadInterceptProfile(const std::string& path);

/// As LoadInterceptProfile for XML text; messages name sourceName.
InterceptProfile ParseInterceptProfile(std::string_view text, const std::string& sourceName);

/// Applies /ALLOWREMOTE: when names is not empty, exactly the tools it names may run remotely;
/// a name that no tool of the profile has becomes a tool of its own (every run counted).
/// Raises for a name that cannot be a tool pattern.
void ApplyAllowRemote(InterceptProfile& profile, const std::vector<std::string>& names);

/// The decision for a run of program (absolute path) with arguments (argv[0] first).
ToolDecision DecideRun(const InterceptProfile& profile, const std::string& program,
                       const std::vector<std::string>& arguments);

/// The tool patterns, ':'-separated, for the preload library.
std::string ToolListText(const InterceptProfile& profile);

/// The plain file names among the tool patterns (no "/", no wildcard): the masquerade links.
std::vector<std::string> MasqueradeNames(const InterceptProfile& profile);

} // namespace qz::tasksmith
