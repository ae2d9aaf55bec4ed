#include "AgentReg.h"

#include "CM/ExceptionWatch.h"
#include "CM/Exceptions.h"

namespace qz::nv {

namespace {

std::string WithoutTrailingSlash(std::string path) {
    if (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

} // namespace

bool HasAgentWriteAccess() {
    QuietScope quiet;
    try {
        TAgentReg reg;
        return reg.CreateKey("Log");
    } catch (const Exception&) {
        return false;
    }
}

std::string AgentRegistryKey() {
    return "SOFTWARE\\Tamrel\\" + ProductRegistryName();
}

TAgentReg::TAgentReg(int options)
    : TCrossRegIniFile(kKeyReadWrite,
                       (options & aroUserSettings) ? RegRoot::CurrentUser : RegRoot::LocalMachine),
      options_(options) {
    std::string key = AgentRegistryKey();
    try {
        if ((options & aroAllowReadOnly) == 0) {
            OpenKey("\\" + key, true, true);
        } else if (!OpenKey("\\" + key, false)) {
            SetAccess(kKeyRead);
            OpenKey("\\" + key, false, true);
        }
    } catch (const Exception&) {
        RaiseWithContext("Failed to access Agent registry settings, while trying to open \"" + key +
                         "\" key");
    }
}

std::string TAgentReg::AgentFolder(bool required) {
    if (options_ & aroUserSettings) {
        Raise("Cannot get Agent folder from user settings.");
    }
    if (agentFolder_.empty()) {
        agentFolder_ = WithoutTrailingSlash(ReadString("Builder", "Folder", ""));
    }
    if (agentFolder_.empty() && required) {
        Raise("Failed to read " + ProductRegistryName() +
              " Agent installation folder from registry.");
    }
    return agentFolder_;
}

std::string TAgentReg::AgentTempFolder() {
    if (options_ & aroUserSettings) {
        Raise("Cannot get Agent folder from user settings.");
    }
    if (agentTempFolder_.empty()) {
        agentTempFolder_ = WithoutTrailingSlash(ReadString("Builder", "TempDir", ""));
        if (agentTempFolder_.empty()) {
            // Without an agent folder there is no temporary folder either: "/Temp" at the top of
            // the file system is never the agent's.
            std::string folder = AgentFolder(false);
            if (!folder.empty()) {
                agentTempFolder_ = folder == "/" ? "/Temp" : folder + "/Temp";
            }
        }
    }
    if (agentTempFolder_.empty()) {
        Raise("Failed to read " + ProductRegistryName() +
              " Agent temporary directory from registry.");
    }
    return agentTempFolder_;
}

} // namespace qz::nv
