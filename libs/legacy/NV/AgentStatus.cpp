// The status report of the agent services and the manager health check.

#include "CM/EnvUtils.h"
#include "CM/ExceptionWatch.h"
#include "CM/Exceptions.h"
#include "GridConsoleCore.h"
#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"

#include <optional>

namespace qz::nv {

namespace {

constexpr const char* kManagerLibrary = "libMgrlink.so";
constexpr const char* kHealthCheckExport = "managerHealthCheck";

// bool managerHealthCheck(char** text): may store a malloc'ed text that the caller frees.
using HealthCheckFunction = bool (*)(char**);

} // namespace

bool TGridConsole::CheckManagerHealth(std::string& text) {
    text.clear();
    try {
        if (!managerLibrary_) {
            std::string path = PathResolve(PathFolder(platform::ExecutablePath()), kManagerLibrary);
            // The manager library is optional: its absence is reported in the status lines
            // below, not as a raised exception in the diagnostic log at every query. A library
            // that is there and does not load is still logged.
            std::optional<UnloggedExceptionsScope> unlogged;
            if (platform::QueryPathKind(path) == platform::PathKind::Missing) {
                unlogged.emplace();
            }
            managerLibrary_ = LoadLibraryChecked(path);
        }
        auto check = reinterpret_cast<HealthCheckFunction>(
            GetProcChecked(managerLibrary_, kHealthCheckExport));
        char* reply = nullptr;
        bool healthy = check(&reply);
        if (reply) {
            text = reply;
            platform::FreeLibraryMemory(reply);
        }
        return healthy;
    } catch (const Exception& e) {
        text = "error: " + e.Message();
        return false;
    }
}

void TGridConsole::ShowAgentStatus(bool serviceReached) {
    WriteLine(serviceReached ? "Agent Services Status: OK" : "Agent Services Status: not running");
    using Status = TQueryServiceStatusReplyPacket;
    const Status* status = serviceStatus_.get();
    std::string connectivity = "OK";
    if (!serviceReached || (status && status->Bool(Status::StandAlone))) {
        connectivity = "not connected";
    } else if (status && status->Bool(Status::CoordinatorVersionMismatch)) {
        connectivity = "Updating Version";
    }
    WriteLine("Connectivity to Coordinator: " + connectivity);
    std::string text;
    if (CheckManagerHealth(text)) {
        WriteLine("MGL Connection to Manager: OK");
    } else {
        WriteLine("MGL Connection to Manager: Not connected" +
                  (text.empty() ? std::string() : " (" + text + ")"));
    }
}

} // namespace qz::nv
