#include "EnvUtils.h"
#include "Exceptions.h"
#include "StringLists.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "platform/SystemInfo.h"
#include "platform/Uuid.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>

// EnvUtils.h, system calls that raise.

namespace qz {

namespace {

// The loader explains its failures in its own words; they take the place of the system text.
[[noreturn]] void RaiseLibraryError(const std::string& text, const platform::Failure& error) {
    throw EOSError(text + ": " + error.context + " (" + std::to_string(error.code) + ")",
                   error.code);
}

} // namespace

TModuleHandle LoadLibraryChecked(const std::string& name) {
    platform::Result<platform::LibraryHandle> module = platform::OpenLibrary(name);
    if (!module) {
        RaiseLibraryError(Format("Cannot load library '%s'", name), module.error());
    }
    return *module;
}

void FreeLibraryChecked(TModuleHandle module) {
    if (platform::Result<> closed = platform::CloseLibrary(module); !closed) {
        RaiseLibraryError(Format("Failed to free library 0x0%x", module), closed.error());
    }
}

void* GetProcChecked(TModuleHandle module, const std::string& name) {
    platform::Result<void*> address = platform::FindLibrarySymbol(module, name);
    if (!address) {
        RaiseLibraryError(Format("Cannot get address of procedure '%s'", name), address.error());
    }
    return *address;
}

std::string ModuleFileName(TModuleHandle module) {
    platform::Result<std::string> path = platform::LibraryFilePath(module);
    if (!path) {
        RaiseLibraryError(Format("Cannot get filename of module 0x0%x", module), path.error());
    }
    return *path;
}

std::string ModuleFileNameOrEmpty(TModuleHandle module) {
    return platform::LibraryFilePath(module).value_or(std::string());
}

void CloseHandleChecked(TFileHandle handle) {
    if (platform::Result<> closed = platform::CloseHandle(handle); !closed) {
        RaiseOsError(Format("Failed to close handle 0x0%x", handle), closed.error().code);
    }
}

std::int64_t FileSizeChecked(TFileHandle handle) {
    auto size = platform::FileHandleSize(handle);
    if (!size) {
        RaiseOsError(Format("Failed to get file size for handle 0x0%x", handle), size.error().code);
    }
    return *size;
}

std::int64_t SetFilePointerChecked(TFileHandle handle, std::int64_t offset,
                                   platform::SeekOrigin origin) {
    auto position = platform::SeekFileHandle(handle, offset, origin);
    if (!position) {
        RaiseOsError(Format("Failed to set file pointer for handle 0x0%x", handle),
                     position.error().code);
    }
    return *position;
}

void SetEndOfFileChecked(TFileHandle handle) {
    if (auto done = platform::SetEndOfFileHandle(handle); !done) {
        RaiseOsError(Format("Failed to set end of file for handle 0x0%x", handle),
                     done.error().code);
    }
}

void FlushFileBuffersChecked(TFileHandle handle) {
    if (auto done = platform::FlushFileHandle(handle); !done) {
        RaiseOsError("Failed to flush file buffers", done.error().code);
    }
}

namespace {

std::mutex& ComputerNameLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

std::string ComputerName() {
    static std::optional<std::string> cached;
    std::lock_guard<std::mutex> guard(ComputerNameLock());
    if (!cached) {
        auto name = platform::HostName();
        if (!name) {
            RaiseOsError("Failed to get computer name", name.error().code);
        }
        cached = std::move(*name);
    }
    return *cached;
}

std::string ComputerNameOrUnknown() {
    try {
        return ComputerName();
    } catch (const Exception& e) {
        return "<Unknown:" + e.Message() + ">";
    }
}

std::pair<int, int> KernelVersion() {
    auto version = platform::KernelVersion();
    if (!version) {
        return {0, 0};
    }
    return {version->major, version->minor};
}

bool IsWindows7OrLater() {
    return true;
}

} // namespace qz
