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
tl::unexpected<Failure> LoaderFailure(int fallbackCode) {
    int code = errno;
    const char* text = dlerror();
    return Fail(code != 0 ? code : fallbackCode, text ? text : "Unknown loader error");
}

} // namespace

Result<LibraryHandle> OpenLibrary(const std::string& name) {
    errno = 0;
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        return LoaderFailure(ELIBACC);
    }
    return handle;
}

Result<void*> FindLibrarySymbol(LibraryHandle library, const std::string& name) {
    dlerror();
    void* address = dlsym(library ? library : RTLD_DEFAULT, name.c_str());
    // A null address is useless to every caller, so it counts as a failure.
    if (!address) {
        errno = 0;
        return LoaderFailure(ENOENT);
    }
    return address;
}

Result<> CloseLibrary(LibraryHandle library) {
    if (dlclose(library) != 0) {
        errno = 0;
        return LoaderFailure(EINVAL);
    }
    return {};
}

Result<std::string> LibraryFilePath(LibraryHandle library) {
    if (library) {
        struct link_map* map = nullptr;
        if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !map) {
            errno = 0;
            return LoaderFailure(EINVAL);
        }
        // The main program's entry has an empty name; its path comes from /proc below.
        if (map->l_name && map->l_name[0] != '\0') {
            return std::string(map->l_name);
        }
    }
    std::string path = ExecutablePath();
    if (path.empty()) {
        return Fail(ENOENT, "Cannot read /proc/self/exe");
    }
    return path;
}

void FreeLibraryMemory(void* memory) {
    std::free(memory);
}

} // namespace qz::platform
