#pragma once

// The build cache clean: deletes the local build cache's data (its file store, its intermediate
// folder, its database snapshots, its task information database and its synchronisation time
// stamp), in that order, at the places the cache service's configuration names.
//
// Deletion never follows a symbolic link below the configured folders: a link is removed, not
// entered, and everything below a folder is reached relative to that opened folder, so links
// or races set up inside the cache cannot make the clean delete anything outside it. The
// configured folders themselves (cache directory, database folder, cache data folder) are
// taken as configured, links included, since an administrator may place the cache elsewhere
// through one.
//
// A file that another process holds open is deleted all the same on this system (its space is
// freed when the last holder closes it); the console makes sure the cache service has stopped
// before it cleans.

#include <functional>
#include <string>

namespace qz::nv {

class TBuildCacheSettings;

class TBuildCacheHelper {
public:
    /// Writes one line of the clean's own report (the text without line break).
    using LineWriter = std::function<void(const std::string& line)>;

    /// The whole clean: without write access to the agent's machine settings only the line
    /// "Please note that user has no administrative rights so cannot clear cache." and false;
    /// otherwise DeleteCacheData. An error of the system's exception family gives the line
    /// "Error: " + its message and false; other exceptions propagate. Lines go to writeLine, or
    /// straight to standard output ending in CR LF when none is given.
    static bool ClearBuildCache(const LineWriter& writeLine = nullptr);

    /// Reads the configuration (its errors propagate) and deletes the five targets; every step
    /// runs whatever the earlier ones gave. A failed step writes a warning to the diagnostic log
    /// and makes the result false; a missing target is no failure, and neither is a
    /// synchronisation time stamp that cannot be deleted.
    static bool DeleteCacheData();
    static bool DeleteCacheData(const TBuildCacheSettings& settings);

    /// Deletes the entries of the folder that match the mask ("*" and "?", ASCII case ignored),
    /// descending into matching subfolders with the same mask and removing them. Refuses an
    /// empty name and the one-character names ".", "/" and "\" (false). True when anything
    /// matched.
    static bool DeleteMatching(const std::string& folder, const std::string& mask);

    /// Deletes everything below the folder and then the folder itself (or, when the name is a
    /// link, the link alone); true when it is gone.
    static bool DeleteFolderTree(const std::string& folder);
};

} // namespace qz::nv
