#pragma once

// The agent's settings: TAgentReg opens the agent key "SOFTWARE\Tamrel\<product>" of the machine
// (or, with aroUserSettings, of the user) and answers the agent installation folder and its
// temporary folder from section "Builder". The store has a single view, so the key never carries
// a "Wow6432Node" part. Folder values are file-system paths with "/".

#include "CM/CrossRegistry.h"

#include <string>

namespace qz::nv {

/// TAgentReg options.
enum : int {
    aroAllowReadOnly = 0x01, ///< read and write if possible, else read only; never create the key
    aroUserSettings = 0x02,  ///< HKEY_CURRENT_USER instead of HKEY_LOCAL_MACHINE
};

/// "SOFTWARE\Tamrel\" + ProductRegistryName().
std::string AgentRegistryKey();

/// Whether the user may change the agent's machine-wide settings: opens the machine agent key
/// for reading and writing (creating it when missing) and creates its subkey "Log", quietly;
/// false on any failure. Leaves both keys in place when it had to create them.
bool HasAgentWriteAccess();

class TAgentReg : public TCrossRegIniFile {
public:
    /// Opens the agent key: without aroAllowReadOnly for reading and writing, creating it; with
    /// it for reading and writing without creating, else for reading only. A failure raises
    /// "Failed to access Agent registry settings, while trying to open "SOFTWARE\Tamrel\<product>"
    /// key" with the inner message on a new line.
    explicit TAgentReg(int options = 0);

    int Options() const { return options_; }

    /// The string "Folder" of section "Builder" without one trailing "/", cached once read.
    /// Raises "Cannot get Agent folder from user settings." on a user-settings object, and
    /// "Failed to read <product> Agent installation folder from registry." when it is empty and
    /// required.
    std::string AgentFolder(bool required = true);

    /// The string "TempDir" of section "Builder" without one trailing "/"; when empty, the agent
    /// folder + "/Temp"; cached. Raises as AgentFolder on a user-settings object, and "Failed to
    /// read <product> Agent temporary directory from registry." when neither is set.
    std::string AgentTempFolder();

private:
    int options_;
    std::string agentFolder_;
    std::string agentTempFolder_;
};

} // namespace qz::nv
