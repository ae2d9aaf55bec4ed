#pragma once

// The system's special folders for application data.
//
// Machine-wide application data is $PROGRAMDATA when that is set, else /var/lib. Should that not
// name an existing folder by an absolute path, the user's local application data folder
// ($XDG_DATA_HOME, else $HOME/.local/share) is taken, and after it the user's roaming one
// ($XDG_CONFIG_HOME, else $HOME/.config). No folder is created.

#include <string>

namespace qz {

/// The machine-wide application data folder (or the first fallback that exists), without a
/// trailing "/". When none can be obtained raises "Unable to get special path: Application Data"
/// + CR LF + "SHGetFolderPath returned 0x<error>" with the error code (errno) of the last
/// attempt in upper-case hexadecimal. The expected failures of the first attempts leave no
/// entries in the diagnostic log.
std::string CommonAppDataFolder();

} // namespace qz
