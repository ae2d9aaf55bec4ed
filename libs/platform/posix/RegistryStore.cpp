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

int MakeFolders(const std::string& folder) {
    if (folder.empty() || folder == "/" || folder == ".") {
        return 0;
    }
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    }
    if (int error = MakeFolders(FolderOf(folder))) {
        return error;
    }
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        return errno;
    }
    return 0;
}

// Reads the rest of a file; 0 or an errno.
int ReadAll(int fd, std::string& text) {
    text.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

Result<> ParseInto(const std::string& text, const std::string& file, RegistryDocument& document) {
    auto parsed = RegistryDocument::Parse(text, file);
    if (!parsed) {
        return tl::unexpected(std::move(parsed.error()));
    }
    document = std::move(*parsed);
    return {};
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

// Closing the descriptor on every path out also releases its lock.
using FileGuard = detail::UniqueFd;

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

Result<> RegistryStore::Load(RegistryRoot root, RegistryDocument& document) {
    std::string file = RootFile(root);
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            document = RegistryDocument();
            return {};
        }
        return FailWithLastError();
    }
    FileGuard guard(fd);
    std::string text;
    if (int error = ReadAll(fd, text)) {
        return Fail(error);
    }
    return ParseInto(text, file, document);
}

Result<> RegistryStore::Update(RegistryRoot root,
                               const std::function<Result<>(RegistryDocument&)>& change) {
    std::string file = RootFile(root);
    // A store an administrator links elsewhere stays linked: the rename replaces the target.
    if (char* real = realpath(file.c_str(), nullptr)) {
        file = real;
        std::free(real);
    }
    if (int error = MakeFolders(FolderOf(file))) {
        return Fail(error);
    }
    for (;;) {
        FileGuard guard(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
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
        std::string text;
        if (int error = ReadAll(guard.Get(), text)) {
            return Fail(error);
        }
        RegistryDocument document;
        if (Result<> parsed = ParseInto(text, file, document); !parsed) {
            return parsed;
        }
        if (Result<> changed = change(document); !changed) {
            return changed;
        }
        return ReplaceFile(file, document.Serialise(), opened.st_mode);
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
