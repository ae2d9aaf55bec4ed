#pragma once

// The build command files that consoles write into the agent's temporary folder (the build id's
// text + ".nv_bld_cmd"). A console keeps its file for the whole build (it may start the build
// system again for the same build) and never removes it, so the agent does: a build's file once
// the build's slot is freed for good, and at the agent's start the files of builds it does not
// know that have not been written for a day (another agent instance's console, or a build in
// flight, keeps a younger one). Only regular files owned by the agent's user or by a user whose
// consoles it answers go; links are never followed and nothing below the folder is touched.
// Main thread only.

#include "BuildSlots.h"
#include "platform/FolderTree.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qz::agent {

inline constexpr std::string_view kCommandFileSuffix = ".nv_bld_cmd";

/// How long a command file of an unknown build must have stayed unwritten before the agent's
/// start removes it.
inline constexpr std::int64_t kStaleCommandFileAgeNs = 24LL * 3600 * 1000000000;

/// "{8-4-4-4-12}.nv_bld_cmd", the name of a build's command file.
std::string CommandFileName(const TGuid& id);

/// What decides which files found at the agent's start may go.
struct TStaleCommandFileRule {
    std::vector<std::uint32_t> owners; ///< the users whose files may go
    std::set<std::string> known;       ///< command file names of builds the agent knows
    std::int64_t nowNs = 0;            ///< the time now, nanoseconds since 1970 (UTC)
};

/// Whether a regular file found in the agent's temporary folder is a forgotten command file: its
/// name is a build id's text + ".nv_bld_cmd", of no known build, one of the owners owns it and
/// it was last written more than kStaleCommandFileAgeNs before now (a file from the future stays).
bool IsStaleCommandFile(const platform::FolderFileFacts& file, const TStaleCommandFileRule& rule);

class TCommandFiles {
public:
    /// The agent's temporary folder; raises when the agent folders are not configured.
    using TFolderSource = std::function<std::string()>;

    /// The folder from the agent's settings and the owners of platform::TrustedObjectOwners
    /// unless told otherwise (tests).
    explicit TCommandFiles(TFolderSource folder = {}, std::vector<std::uint32_t> owners = {});

    /// The build's slot is freed for good: its command file goes now or, while the console that
    /// asked for the slot is still connected (it starts the build system again after a start
    /// that may succeed on a second try), once that console is no longer connected.
    void BuildEnded(const TGuid& id, std::shared_ptr<TConsoleLink> console);

    /// Removes the files of ended builds whose consoles have gone since.
    void Sweep();

    /// Whether ended builds wait for their consoles to go.
    bool Pending() const { return !waiting_.empty(); }

    /// At the agent's start: removes the stale command files (IsStaleCommandFile) of builds other
    /// than the known ones. The number of files found to go (a removal that fails is logged).
    int RemoveStale(const std::vector<TGuid>& known, std::int64_t nowNs);

private:
    struct TWaiting {
        TGuid id;
        std::shared_ptr<TConsoleLink> console;
    };

    /// Removes the build's file when it is a regular file of one of the owners.
    void Remove(const TGuid& id);
    /// The folder, or empty (logged) when it is not configured.
    std::string Folder();

    TFolderSource folder_;
    std::vector<std::uint32_t> owners_;
    std::vector<TWaiting> waiting_;
};

} // namespace qz::agent
