#include "platform/DynamicLibrary.h"

#include "platform/ProcessInfo.h"

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>

namespace qz::platform {

namespace {

// The loader reports failures as text only; errno is a hint at best, so a fixed code stands in
// when it says nothing.
void FillError(LibraryError& error, int fallbackCode) {
    int code = errno;
    const char* text = dlerror();
    error.text = text ? text : "Unknown loader error";
    error.code = code != 0 ? code : fallbackCode;
}

} // namespace

LibraryHandle OpenLibrary(const std::string& name, LibraryError& error) {
    errno = 0;
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        FillError(error, ELIBACC);
    }
    return handle;
}

void* FindLibrarySymbol(LibraryHandle library, const std::string& name, LibraryError& error) {
    dlerror();
    void* address = dlsym(library ? library : RTLD_DEFAULT, name.c_str());
    // A null address is useless to every caller, so it counts as a failure.
    if (!address) {
        errno = 0;
        FillError(error, ENOENT);
    }
    return address;
}

bool CloseLibrary(LibraryHandle library, LibraryError& error) {
    if (dlclose(library) == 0) {
        return true;
    }
    errno = 0;
    FillError(error, EINVAL);
    return false;
}

bool LibraryFilePath(LibraryHandle library, std::string& path, LibraryError& error) {
    if (library) {
        struct link_map* map = nullptr;
        if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !map) {
            errno = 0;
            FillError(error, EINVAL);
            return false;
        }
        // The main program's entry has an empty name; its path comes from /proc below.
        if (map->l_name && map->l_name[0] != '\0') {
            path = map->l_name;
            return true;
        }
    }
    path = ExecutablePath();
    if (path.empty()) {
        error.text = "Cannot read /proc/self/exe";
        error.code = ENOENT;
        return false;
    }
    return true;
}

void FreeLibraryMemory(void* memory) {
    std::free(memory);
}

} // namespace qz::platform
