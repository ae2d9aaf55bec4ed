#include "AgentSettings.h"

#include "CM/DiagLog.h"
#include "CM/Exceptions.h"
#include "NV/AgentReg.h"

namespace qz::agent {

namespace {
constexpr const char* kSection = "Builder";
} // namespace

TAgentSettings ReadAgentSettings(int onlineProcessors) {
    TAgentSettings settings;
    settings.maxConcurrentBuilds = onlineProcessors;
    try {
        nv::TAgentReg reg(nv::aroAllowReadOnly);
        int max = reg.ReadInteger(kSection, "MaxConcurrentBuilds", onlineProcessors);
        settings.maxConcurrentBuilds = max >= 1 ? max : onlineProcessors;
        settings.minCoresPerBuild = reg.ReadInteger(kSection, "MinCoresPerBuild", 1);
        settings.enabled = reg.ReadBool(kSection, "Enabled", true);
        settings.allowEnableDisable = reg.ReadBool(kSection, "AllowEnableDisable", true);
        settings.updatePending = reg.ReadBool(kSection, "VersionUpdatePending", false);
    } catch (const Exception& e) {
        LogLine("Agent settings not readable, defaults used: " + e.Message(), 0);
    }
    return settings;
}

void StoreAgentEnabled(bool enabled) {
    nv::TAgentReg reg;
    reg.WriteBool(kSection, "Enabled", enabled);
}

std::string AgentFileCacheFolder() {
    nv::TAgentReg reg(nv::aroAllowReadOnly);
    return reg.AgentTempFolder() + "/FileCache";
}

} // namespace qz::agent
