#include "platform/ServiceControl.h"

#include "platform/DynamicLibrary.h"
#include "platform/RegistryStore.h"
#include "platform/posix/SystemdBus.h"
#include "platform/posix/SystemdUnitState.h"
#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
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
//
// libsystemd is loaded when a service is first looked up through systemd, not linked: every
// program of the project links this layer, and loading libsystemd with the libraries it needs
// costs each of them milliseconds at start for a query most of them never make.

// The functions of libsystemd's bus client this file calls.
struct SystemdBus {
    decltype(&sd_bus_open_system) openSystem = nullptr;
    decltype(&sd_bus_set_method_call_timeout) setMethodCallTimeout = nullptr;
    decltype(&sd_bus_flush_close_unref) flushCloseUnref = nullptr;
    decltype(&sd_bus_get_property_string) getPropertyString = nullptr;
    decltype(&sd_bus_call_method) callMethod = nullptr;
    decltype(&sd_bus_error_has_name) errorHasName = nullptr;
    decltype(&sd_bus_error_free) errorFree = nullptr;
    decltype(&sd_bus_message_read) messageRead = nullptr;
    decltype(&sd_bus_message_unref) messageUnref = nullptr;
};

template <typename Function>
Result<> Bind(LibraryHandle library, const char* name, Function& function) {
    Result<void*> address = FindLibrarySymbol(library, name);
    if (!address) {
        return tl::unexpected(address.error());
    }
    function = reinterpret_cast<Function>(*address);
    return {};
}

Result<SystemdBus> LoadSystemdBus(const std::string& libraryName) {
    Result<LibraryHandle> library = OpenLibrary(libraryName);
    if (!library) {
        return tl::unexpected(library.error());
    }
    // The library stays loaded for the rest of the process; its functions are kept.
    SystemdBus bus;
    Result<> bound =
        Bind(*library, "sd_bus_open_system", bus.openSystem)
            .and_then([&] {
                return Bind(*library, "sd_bus_set_method_call_timeout", bus.setMethodCallTimeout);
            })
            .and_then(
                [&] { return Bind(*library, "sd_bus_flush_close_unref", bus.flushCloseUnref); })
            .and_then(
                [&] { return Bind(*library, "sd_bus_get_property_string", bus.getPropertyString); })
            .and_then([&] { return Bind(*library, "sd_bus_call_method", bus.callMethod); })
            .and_then([&] { return Bind(*library, "sd_bus_error_has_name", bus.errorHasName); })
            .and_then([&] { return Bind(*library, "sd_bus_error_free", bus.errorFree); })
            .and_then([&] { return Bind(*library, "sd_bus_message_read", bus.messageRead); })
            .and_then([&] { return Bind(*library, "sd_bus_message_unref", bus.messageUnref); });
    if (!bound) {
        (void)CloseLibrary(*library);
        return tl::unexpected(bound.error());
    }
    return bus;
}

// The bus client of the library named, loaded once per name for the life of the process.
const Result<SystemdBus>& SystemdBusOf(const std::string& libraryName) {
    static std::mutex mutex;
    static std::map<std::string, Result<SystemdBus>> loaded;
    std::lock_guard lock(mutex);
    auto found = loaded.find(libraryName);
    if (found == loaded.end()) {
        found = loaded.emplace(libraryName, LoadSystemdBus(libraryName)).first;
    }
    return found->second;
}

// The reason a library that could not be loaded gives, as a whole sentence.
std::string LoadFailureText(const std::string& libraryName, const Failure& failure) {
    return "The systemd client library " + libraryName + " could not be loaded (" +
           failure.context + ")";
}

class BusConnection {
public:
    explicit BusConnection(const SystemdBus& functions) : functions_(functions) {
        if (functions_.openSystem(&bus_) < 0) {
            bus_ = nullptr;
            return;
        }
        functions_.setMethodCallTimeout(bus_, kBusTimeoutUs);
    }
    ~BusConnection() {
        if (bus_ != nullptr) {
            functions_.flushCloseUnref(bus_);
        }
    }
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    explicit operator bool() const { return bus_ != nullptr; }
    sd_bus* Get() const { return bus_; }

private:
    const SystemdBus& functions_;
    sd_bus* bus_ = nullptr;
};

std::string ReadUnitProperty(const SystemdBus& functions, sd_bus* bus, const std::string& path,
                             const char* property) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* value = nullptr;
    std::string result;
    if (functions.getPropertyString(bus, kSystemdDestination, path.c_str(), kUnitInterface,
                                    property, &error, &value) >= 0 &&
        value != nullptr) {
        result = value;
    }
    std::free(value);
    functions.errorFree(&error);
    return result;
}

ServiceState QuerySystemd(const std::string& libraryName, const std::string& unit) {
    const Result<SystemdBus>& loaded = SystemdBusOf(libraryName);
    if (!loaded) {
        // Without libsystemd there is no systemd to know the service.
        return ServiceState::NotInstalled;
    }
    const SystemdBus& functions = *loaded;
    BusConnection bus(functions);
    if (!bus) {
        return ServiceState::NotInstalled;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = functions.callMethod(bus.Get(), kSystemdDestination, kSystemdPath, kManagerInterface,
                                 "LoadUnit", &error, &reply, "s", unit.c_str());
    bool noSystemd = r < 0 && (functions.errorHasName(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                               functions.errorHasName(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER));
    functions.errorFree(&error);
    if (r < 0) {
        functions.messageUnref(reply);
        return noSystemd ? ServiceState::NotInstalled : ServiceState::Unknown;
    }
    const char* pathText = nullptr;
    std::string path;
    if (functions.messageRead(reply, "o", &pathText) >= 0 && pathText != nullptr) {
        path = pathText;
    }
    functions.messageUnref(reply);
    if (path.empty()) {
        return ServiceState::Unknown;
    }
    return detail::MapUnitState(ReadUnitProperty(functions, bus.Get(), path, "LoadState"),
                                ReadUnitProperty(functions, bus.Get(), path, "ActiveState"),
                                ReadUnitProperty(functions, bus.Get(), path, "FreezerState"));
}

Result<> CallSystemd(const std::string& libraryName, const std::string& unit, const char* method) {
    const Result<SystemdBus>& loaded = SystemdBusOf(libraryName);
    if (!loaded) {
        return Fail(ENOENT, "The service is not installed: " +
                                LoadFailureText(libraryName, loaded.error()));
    }
    const SystemdBus& functions = *loaded;
    BusConnection bus(functions);
    if (!bus) {
        return Fail(ENOENT, "The service is not installed (no system bus)");
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = functions.callMethod(bus.Get(), kSystemdDestination, kSystemdPath, kManagerInterface,
                                 method, &error, &reply, "ss", unit.c_str(), "replace");
    Result<> result;
    if (r < 0) {
        result = Fail(-r, std::string(method) + " " + unit + ": " +
                              (error.message != nullptr ? error.message : std::strerror(-r)));
    }
    functions.errorFree(&error);
    functions.messageUnref(reply);
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
    return QuerySystemd(detail::kSystemdLibrary, ServiceUnitName(serviceName));
}

Result<> StartService(const std::string& serviceName) {
    if (std::optional<Registration> registration = FindRegistration(serviceName)) {
        return StartSupervised(*registration);
    }
    return CallSystemd(detail::kSystemdLibrary, ServiceUnitName(serviceName), "StartUnit");
}

Result<> StopService(const std::string& serviceName) {
    if (std::optional<Registration> registration = FindRegistration(serviceName)) {
        return StopSupervised(*registration);
    }
    return CallSystemd(detail::kSystemdLibrary, ServiceUnitName(serviceName), "StopUnit");
}

namespace detail {

ServiceState QuerySystemdUnit(const std::string& libraryName, const std::string& unit) {
    return QuerySystemd(libraryName, unit);
}

Result<> CallSystemdUnit(const std::string& libraryName, const std::string& unit,
                         const char* method) {
    return CallSystemd(libraryName, unit, method);
}

std::optional<Failure> SystemdLibraryFailure(const std::string& libraryName) {
    const Result<SystemdBus>& loaded = SystemdBusOf(libraryName);
    if (loaded) {
        return std::nullopt;
    }
    return loaded.error();
}

} // namespace detail

} // namespace qz::platform
