#include "platform/ProgramFile.h"

#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace qz::platform {
namespace {

// The ELF types of this process's word size: a program of the other size has a loader of its
// own, which is not ours to judge.
using Header = ElfW(Ehdr);
using ProgramHeader = ElfW(Phdr);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kOwnData = ELFDATA2LSB;
#else
constexpr unsigned char kOwnData = ELFDATA2MSB;
#endif
constexpr unsigned char kOwnClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;

std::string_view WithoutTrailingSlashes(std::string_view folder) {
    while (folder.size() > 1 && folder.back() == '/') {
        folder.remove_suffix(1);
    }
    return folder;
}

// More program headers than any real program has: a damaged count is not followed.
constexpr std::size_t kMaxProgramHeaders = 4096;
// The Linux limit of a "#!" line, and of interpreters of interpreters.
constexpr std::size_t kMaxShebang = 256;
constexpr int kMaxScriptDepth = 4;

// Reads exactly size bytes at offset; false at the end of the file.
Result<bool> ReadAt(int fd, void* buffer, std::size_t size, off_t offset) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithLastError("read");
        }
        if (n == 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Whether the set-id bits of the file at info change our ids when it starts.
bool SetIdApplies(int fd, const struct stat& info) {
    const bool uidChanges = (info.st_mode & S_ISUID) != 0 && info.st_uid != geteuid();
    const bool gidChanges =
        (info.st_mode & S_ISGID) != 0 && (info.st_mode & S_IXGRP) != 0 && info.st_gid != getegid();
    if (!uidChanges && !gidChanges) {
        return false;
    }
    struct statvfs volume {};
    return fstatvfs(fd, &volume) != 0 || (volume.f_flag & ST_NOSUID) == 0;
}

Result<ProgramLoading> LoadingOf(const std::string& path, int depth) {
    detail::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return FailWithLastError("open " + path);
    }
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0) {
        return FailWithLastError("examine " + path);
    }
    if (!S_ISREG(info.st_mode)) {
        return ProgramLoading::Unknown;
    }
    unsigned char start[kMaxShebang] = {};
    ssize_t got;
    while ((got = pread(fd.Get(), start, sizeof(start), 0)) < 0 && errno == EINTR) {
    }
    if (got < 0) {
        return FailWithLastError("read " + path);
    }
    const auto length = static_cast<std::size_t>(got);
    if (length >= 2 && start[0] == '#' && start[1] == '!') {
        // The interpreter is the first word after "#!", up to a blank or the line's end.
        if (depth >= kMaxScriptDepth) {
            return ProgramLoading::Unknown;
        }
        std::size_t begin = 2;
        while (begin < length && (start[begin] == ' ' || start[begin] == '\t')) {
            ++begin;
        }
        std::size_t end = begin;
        while (end < length && start[end] != ' ' && start[end] != '\t' && start[end] != '\n' &&
               start[end] != '\0') {
            ++end;
        }
        if (end == begin || end == sizeof(start) || start[begin] != '/') {
            return ProgramLoading::Unknown; // no interpreter, or a line longer than the system's
        }
        std::string interpreter(reinterpret_cast<const char*>(start + begin), end - begin);
        auto loading = LoadingOf(interpreter, depth + 1);
        return loading ? *loading : ProgramLoading::Unknown;
    }
    Header header{};
    if (length < sizeof(header)) {
        return ProgramLoading::Unknown;
    }
    std::memcpy(&header, start, sizeof(header));
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != kOwnClass || header.e_ident[EI_DATA] != kOwnData ||
        (header.e_type != ET_EXEC && header.e_type != ET_DYN) ||
        header.e_phentsize != sizeof(ProgramHeader) || header.e_phnum == 0 ||
        header.e_phnum > kMaxProgramHeaders ||
        header.e_phoff > static_cast<ElfW(Off)>(info.st_size)) {
        return ProgramLoading::Unknown;
    }
    bool interpreted = false;
    for (std::size_t i = 0; i < header.e_phnum && !interpreted; ++i) {
        ProgramHeader entry{};
        auto read = ReadAt(fd.Get(), &entry, sizeof(entry),
                           static_cast<off_t>(header.e_phoff + i * sizeof(ProgramHeader)));
        if (!read) {
            return tl::unexpected(read.error());
        }
        if (!*read) {
            return ProgramLoading::Unknown; // the table runs past the file's end
        }
        interpreted = entry.p_type == PT_INTERP;
    }
    if (!interpreted) {
        return ProgramLoading::Static;
    }
    return SetIdApplies(fd.Get(), info) ? ProgramLoading::SetId : ProgramLoading::Dynamic;
}

} // namespace

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

bool IsSameFile(const std::string& path, const std::string& other) {
    struct stat a {};
    struct stat b {};
    return stat(path.c_str(), &a) == 0 && stat(other.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

std::string FindProgramInPath(const std::string& name, std::string_view pathValue,
                              const ProgramSearch& search) {
    // A NUL byte would end the path the system sees early, at another file.
    constexpr char kNul = '\0';
    if (name.empty() || name.find(kNul) != std::string::npos) {
        return {};
    }
    auto fromStart = [&](std::string_view path) {
        std::string full(path);
        if (path[0] != '/' && !search.startFolder.empty()) {
            full.insert(0, search.startFolder + "/");
        }
        return full;
    };
    if (name.find('/') != std::string::npos) {
        std::string path = fromStart(name);
        return IsExecutableFile(path) ? path : std::string();
    }
    const std::string_view skipFolder = WithoutTrailingSlashes(search.skipFolder);
    std::size_t begin = 0;
    for (;;) {
        std::size_t end = pathValue.find(':', begin);
        std::string_view entry = pathValue.substr(
            begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
        const bool skipped =
            entry.find(kNul) != std::string_view::npos ||
            (!entry.empty() && !skipFolder.empty() && WithoutTrailingSlashes(entry) == skipFolder);
        if (!skipped) {
            std::string candidate = fromStart(entry.empty() ? "." : entry) + "/" + name;
            if (IsExecutableFile(candidate) &&
                (search.skipFile.empty() || !IsSameFile(candidate, search.skipFile))) {
                return candidate;
            }
        }
        if (end == std::string_view::npos) {
            return {};
        }
        begin = end + 1;
    }
}

Result<ProgramLoading> ProgramLoadingOf(const std::string& path) {
    return LoadingOf(path, 0);
}

} // namespace qz::platform
