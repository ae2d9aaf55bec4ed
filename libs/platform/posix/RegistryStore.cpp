#include "platform/RegistryStore.h"

#include "UniqueFd.h"
#include "WriteAll.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {

namespace {

std::string EnvValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string HomeFolder() {
    std::string home = EnvValue("HOME");
    if (home.empty()) {
        if (const passwd* entry = getpwuid(getuid())) {
            home = entry->pw_dir ? entry->pw_dir : "";
        }
    }
    return home;
}

const char* RootFileName(RegistryRoot root) {
    switch (root) {
    case RegistryRoot::ClassesRoot:
        return "HKCR.reg";
    case RegistryRoot::CurrentUser:
        return "HKCU.reg";
    case RegistryRoot::LocalMachine:
        return "HKLM.reg";
    case RegistryRoot::Users:
        return "HKU.reg";
    case RegistryRoot::PerformanceData:
        return "HKPD.reg";
    case RegistryRoot::CurrentConfig:
        return "HKCC.reg";
    case RegistryRoot::DynData:
        return "HKDD.reg";
    }
    return "HKLM.reg";
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

Result<> MakeFolders(const std::string& folder) {
    if (folder.empty() || folder == "/" || folder == ".") {
        return {};
    }
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) {
        return FailUnless(S_ISDIR(info.st_mode), ENOTDIR);
    }
    if (Result<> made = MakeFolders(FolderOf(folder)); !made) {
        return made;
    }
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        return FailWithLastError();
    }
    return {};
}

// Reads the rest of a file and parses it.
Result<RegistryDocument> ReadDocument(int fd, const std::string& file) {
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithLastError();
        }
        if (n == 0) {
            return RegistryDocument::Parse(text, file);
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

// Replaces the file with the text: temporary file in the same folder, flushed, renamed over.
Result<> ReplaceFile(const std::string& file, const std::string& text, mode_t mode) {
    std::string pattern = file + ".XXXXXX";
    detail::UniqueFd fd(mkstemp(pattern.data()));
    if (!fd) {
        return FailWithLastError();
    }
    int error = detail::WriteAll(fd.Get(), text.data(), text.size());
    if (error == 0 && fchmod(fd.Get(), mode & 07777) != 0) {
        error = errno;
    }
    if (error == 0 && fsync(fd.Get()) != 0) {
        error = errno;
    }
    if (int closeError = fd.Close(); closeError != 0 && error == 0) {
        error = closeError;
    }
    if (error == 0 && rename(pattern.c_str(), file.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(pattern.c_str());
        return Fail(error);
    }
    detail::UniqueFd dir(open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) {
        fsync(dir.Get());
    }
    return {};
}

} // namespace

std::string RegistryStore::RootFile(RegistryRoot root) {
    std::string folder = EnvValue("TamrelRegistryRoot");
    if (folder.empty()) {
        if (root == RegistryRoot::CurrentUser) {
            std::string config = EnvValue("XDG_CONFIG_HOME");
            if (config.empty()) {
                config = HomeFolder() + "/.config";
            }
            folder = config + "/tamrel/registry";
        } else {
            folder = "/etc/tamrel/registry";
        }
    }
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder + "/" + RootFileName(root);
}

Result<RegistryDocument> RegistryStore::Load(RegistryRoot root) {
    std::string file = RootFile(root);
    detail::UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return RegistryDocument();
        }
        return FailWithLastError();
    }
    return ReadDocument(fd.Get(), file);
}

Result<> RegistryStore::Update(RegistryRoot root,
                               const std::function<Result<>(RegistryDocument&)>& change) {
    std::string file = RootFile(root);
    // A store an administrator links elsewhere stays linked: the rename replaces the target.
    if (char* real = realpath(file.c_str(), nullptr)) {
        file = real;
        std::free(real);
    }
    if (Result<> made = MakeFolders(FolderOf(file)); !made) {
        return made;
    }
    for (;;) {
        // Closing the descriptor on every path out also releases its lock.
        detail::UniqueFd guard(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (guard.Get() < 0) {
            return FailWithLastError();
        }
        while (flock(guard.Get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                return FailWithLastError();
            }
        }
        // A writer that held the lock before us may have renamed a new file over the one we
        // opened; the lock then guards a dead inode, so start again on the current file.
        struct stat opened {};
        struct stat current {};
        if (fstat(guard.Get(), &opened) != 0) {
            return FailWithLastError();
        }
        if (stat(file.c_str(), &current) != 0 || current.st_ino != opened.st_ino ||
            current.st_dev != opened.st_dev) {
            continue;
        }
        Result<RegistryDocument> document = ReadDocument(guard.Get(), file);
        if (!document) {
            return tl::unexpected(std::move(document.error()));
        }
        if (Result<> changed = change(*document); !changed) {
            return changed;
        }
        return ReplaceFile(file, document->Serialise(), opened.st_mode);
    }
}

bool RegistryStore::CanWrite(RegistryRoot root) {
    std::string file = RootFile(root);
    if (access(file.c_str(), F_OK) == 0 && access(file.c_str(), W_OK) != 0) {
        return false;
    }
    // The file is replaced by a rename, so its folder (or the first existing folder above it,
    // where the missing ones would be created) must be writable.
    std::string folder = FolderOf(file);
    while (access(folder.c_str(), F_OK) != 0 && folder != "/" && folder != ".") {
        folder = FolderOf(folder);
    }
    return access(folder.c_str(), W_OK | X_OK) == 0;
}

} // namespace qz::platform
