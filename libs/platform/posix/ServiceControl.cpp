#include "platform/ServiceControl.h"

#include "platform/RegistryStore.h"
#include "platform/posix/SystemdUnitState.h"
#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace qz::platform {

namespace {

using detail::UniqueFd;

constexpr const char* kSystemdDestination = "org.freedesktop.systemd1";
constexpr const char* kSystemdPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
// A systemd that does not answer within this time leaves the state unknown.
constexpr std::uint64_t kBusTimeoutUs = 5'000'000;
// The pid file is a few bytes; anything longer is not one.
constexpr std::size_t kPidFileLimit = 4096;

// ---- The project's own supervision --------------------------------------------------------------

struct Registration {
    std::string pidFile;
    std::string startCommand;
};

std::optional<Registration> FindRegistration(const std::string& serviceName) {
    Result<RegistryDocument> document = RegistryStore::Load(RegistryRoot::LocalMachine);
    if (!document) {
        return std::nullopt;
    }
    std::string key = SupervisedServiceKey(serviceName);
    const RegistryValue* pidFile = document->FindValue(key, "PidFile");
    if (pidFile == nullptr || pidFile->data.empty() ||
        (pidFile->type != RegistryValueType::String &&
         pidFile->type != RegistryValueType::ExpandString)) {
        return std::nullopt;
    }
    Registration registration{pidFile->data, {}};
    const RegistryValue* start = document->FindValue(key, "Start");
    if (start != nullptr && (start->type == RegistryValueType::String ||
                             start->type == RegistryValueType::ExpandString)) {
        registration.startCommand = start->data;
    }
    return registration;
}

// What the pid file tells: the live process that holds it, and its state.
struct PidFileReading {
    ServiceState state = ServiceState::Unknown;
    int pid = 0; ///< the holder; 0 when nobody holds the file
};

// The process holding a write lock on the whole file, 0 when none, -1 when the lock cannot be
// examined or its holder cannot be named (another pid namespace, a lock not owned by a process).
int LockHolder(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &lock) != 0) {
        return -1;
    }
    if (lock.l_type == F_UNLCK) {
        return 0;
    }
    return lock.l_pid > 0 ? lock.l_pid : -1;
}

PidFileReading ReadPidFile(const std::string& path) {
    PidFileReading reading;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        reading.state = errno == ENOENT ? ServiceState::Stopped : ServiceState::Unknown;
        return reading;
    }
    int holder = LockHolder(fd.Get());
    if (holder == 0) {
        // Nobody holds it: the service that wrote it has ended.
        reading.state = ServiceState::Stopped;
        return reading;
    }
    if (holder < 0) {
        return reading;
    }
    reading.pid = holder;
    std::string text(kPidFileLimit, '\0');
    ssize_t n = pread(fd.Get(), text.data(), text.size(), 0);
    if (n < 0) {
        return reading;
    }
    text.resize(static_cast<std::size_t>(n));
    std::size_t lineEnd = text.find('\n');
    std::string first = text.substr(0, lineEnd);
    std::string second;
    if (lineEnd != std::string::npos) {
        second = text.substr(lineEnd + 1);
        second = second.substr(0, second.find('\n'));
    }
    // Until the holder has written its own pid, the text is a predecessor's: it is starting.
    if (first != std::to_string(holder)) {
        reading.state = ServiceState::StartPending;
        return reading;
    }
    reading.state = detail::MapPidFileState(second);
    return reading;
}

bool IsActive(ServiceState state) {
    return state != ServiceState::Stopped && state != ServiceState::NotInstalled &&
           state != ServiceState::Unknown;
}

Result<> StopSupervised(const Registration& registration) {
    PidFileReading reading = ReadPidFile(registration.pidFile);
    if (reading.state == ServiceState::Stopped) {
        return {};
    }
    if (reading.pid <= 0) {
        return Fail(EIO, "Cannot tell the process of the service from " + registration.pidFile);
    }
    // A pidfd pins the process, so the signal cannot reach a newcomer that reused the pid once
    // the holder is confirmed again after the pidfd exists.
    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, reading.pid, 0)));
    if (!pidfd) {
        int error = errno;
        if (error == ESRCH) {
            return {};
        }
        return Fail(error, "Cannot open the service process: " + std::string(std::strerror(error)));
    }
    PidFileReading again = ReadPidFile(registration.pidFile);
    if (again.state == ServiceState::Stopped) {
        return {};
    }
    if (again.pid != reading.pid) {
        return Fail(EAGAIN, "The service's pid file changed hands while stopping it");
    }
    if (syscall(SYS_pidfd_send_signal, pidfd.Get(), SIGTERM, nullptr, 0) != 0 && errno != ESRCH) {
        int error = errno;
        return Fail(error,
                    "Cannot signal the service process: " + std::string(std::strerror(error)));
    }
    return {};
}

Result<> StartSupervised(const Registration& registration) {
    if (IsActive(ReadPidFile(registration.pidFile).state)) {
        return {};
    }
    if (registration.startCommand.empty()) {
        return Fail(ENOEXEC, "The service has no start command");
    }
    // Prepared before fork: the child of a threaded process may only make async-signal-safe
    // calls.
    std::string script = "exec " + registration.startCommand;
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    pid_t child = fork();
    if (child < 0) {
        int error = errno;
        return Fail(error, "Cannot start the service: " + std::string(std::strerror(error)));
    }
    if (child == 0) {
        // The service must outlive the caller and must not become its zombie: a second fork
        // hands it to the system's reaper, in a session of its own, with quiet standard handles.
        setsid();
        if (fork() != 0) {
            _exit(0);
        }
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        execv("/bin/sh", const_cast<char* const*>(argv));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return {};
}

// ---- systemd ------------------------------------------------------------------------------------

struct BusDeleter {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

BusPtr OpenSystemBus() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) {
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, kBusTimeoutUs);
    return BusPtr(bus);
}

std::string ReadUnitProperty(sd_bus* bus, const std::string& path, const char* property) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* value = nullptr;
    std::string result;
    if (sd_bus_get_property_string(bus, kSystemdDestination, path.c_str(), kUnitInterface, property,
                                   &error, &value) >= 0 &&
        value != nullptr) {
        result = value;
    }
    std::free(value);
    sd_bus_error_free(&error);
    return result;
}

ServiceState QuerySystemd(const std::string& unit) {
    BusPtr bus = OpenSystemBus();
    if (!bus) {
        return ServiceState::NotInstalled;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus.get(), kSystemdDestination, kSystemdPath, kManagerInterface,
                               "LoadUnit", &error, &reply, "s", unit.c_str());
    bool noSystemd = r < 0 && (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                               sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER));
    sd_bus_error_free(&error);
    if (r < 0) {
        sd_bus_message_unref(reply);
        return noSystemd ? ServiceState::NotInstalled : ServiceState::Unknown;
    }
    const char* pathText = nullptr;
    std::string path;
    if (sd_bus_message_read(reply, "o", &pathText) >= 0 && pathText != nullptr) {
        path = pathText;
    }
    sd_bus_message_unref(reply);
    if (path.empty()) {
        return ServiceState::Unknown;
    }
    return detail::MapUnitState(ReadUnitProperty(bus.get(), path, "LoadState"),
                                ReadUnitProperty(bus.get(), path, "ActiveState"),
                                ReadUnitProperty(bus.get(), path, "FreezerState"));
}

Result<> CallSystemd(const std::string& unit, const char* method) {
    BusPtr bus = OpenSystemBus();
    if (!bus) {
        return Fail(ENOENT, "The service is not installed (no system bus)");
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus.get(), kSystemdDestination, kSystemdPath, kManagerInterface,
                               method, &error, &reply, "ss", unit.c_str(), "replace");
    Result<> result;
    if (r < 0) {
        result = Fail(-r, std::string(method) + " " + unit + ": " +
                              (error.message != nullptr ? error.message : std::strerror(-r)));
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return result;
}

} // namespace

std::string ServiceUnitName(const std::string& serviceName) {
    std::string unit;
    unit.reserve(serviceName.size() + 8);
    for (char c : serviceName) {
        unit += c == ' ' ? '-' : (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return unit + ".service";
}

std::string SupervisedServiceKey(const std::string& serviceName) {
    std::string unit = ServiceUnitName(serviceName);
    return "SOFTWARE\\Tamrel\\Services\\" + unit.substr(0, unit.size() - 8);
}

ServiceState QueryServiceState(const std::string& serviceName) {
    if (std::optional<Registration> registration = FindRegistration(serviceName)) {
        return ReadPidFile(registration->pidFile).state;
    }
    return QuerySystemd(ServiceUnitName(serviceName));
}

Result<> StartService(const std::string& serviceName) {
    if (std::optional<Registration> registration = FindRegistration(serviceName)) {
        return StartSupervised(*registration);
    }
    return CallSystemd(ServiceUnitName(serviceName), "StartUnit");
}

Result<> StopService(const std::string& serviceName) {
    if (std::optional<Registration> registration = FindRegistration(serviceName)) {
        return StopSupervised(*registration);
    }
    return CallSystemd(ServiceUnitName(serviceName), "StopUnit");
}

} // namespace qz::platform
