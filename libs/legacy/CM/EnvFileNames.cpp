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

// EnvUtils.h, file names.

namespace qz {

namespace {

std::size_t LastSeparator(std::string_view path) {
    return path.rfind('/');
}

// The position of the extension's dot, or npos.
std::size_t ExtensionDot(std::string_view path) {
    std::size_t dot = path.rfind('.');
    std::size_t separator = LastSeparator(path);
    if (dot == std::string_view::npos || (separator != std::string_view::npos && dot < separator)) {
        return std::string_view::npos;
    }
    return dot;
}

} // namespace

std::string PathFileName(std::string_view path) {
    std::size_t separator = LastSeparator(path);
    return std::string(separator == std::string_view::npos ? path : path.substr(separator + 1));
}

std::string PathFolder(std::string_view path) {
    std::size_t separator = LastSeparator(path);
    return separator == std::string_view::npos ? std::string()
                                               : std::string(path.substr(0, separator + 1));
}

std::string PathExtension(std::string_view path) {
    std::size_t dot = ExtensionDot(path);
    return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

std::string PathExtensionNoDot(std::string_view path) {
    std::size_t dot = ExtensionDot(path);
    return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot + 1));
}

std::string PathChangeExtension(std::string_view path, std::string_view extension) {
    std::size_t dot = ExtensionDot(path);
    std::string result(dot == std::string_view::npos ? path : path.substr(0, dot));
    result += extension;
    return result;
}

std::string PathBaseName(std::string_view path) {
    return PathChangeExtension(PathFileName(path), {});
}

bool PathHasExtension(std::string_view path, std::string_view extension) {
    return SameTextAscii(PathExtension(path), extension);
}

bool PathHasAnyExtension(std::string_view path, const std::vector<std::string>& extensions) {
    std::string own = PathExtension(path);
    for (const std::string& extension : extensions) {
        if (SameTextAscii(own, extension)) {
            return true;
        }
    }
    return false;
}

std::string PathWithSeparator(std::string_view path) {
    std::string result(path);
    if (!result.empty() && result.back() != '/') {
        result += '/';
    }
    return result;
}

std::string PathWithoutSeparator(std::string_view path) {
    std::string result(path);
    // The root keeps its "/": without it the path would turn relative.
    if (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

bool PathIsAbsolute(std::string_view path) {
    return !path.empty() && path.front() == '/';
}

std::string PathNormalize(std::string_view path) {
    if (path.empty()) {
        return {};
    }
    bool absolute = path.front() == '/';
    bool trailing = path.back() == '/';
    std::vector<std::string_view> segments;
    std::size_t leadingParents = 0; // ".." kept at the start of a relative path
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        std::string_view segment = path.substr(start, end - start);
        bool last = end == path.size();
        if (segment == "." || segment == "..") {
            if (segment == "..") {
                if (segments.size() > leadingParents) {
                    segments.pop_back();
                } else if (!absolute) {
                    segments.push_back(segment);
                    ++leadingParents;
                }
            }
            if (last) {
                trailing = true;
            }
        } else if (!segment.empty()) {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) {
            result += '/';
        }
        result += segments[i];
    }
    if (trailing && !segments.empty()) {
        result += '/';
    }
    return result;
}

std::string PathResolve(std::string_view base, std::string_view name,
                        std::size_t* fileNamePosition) {
    std::string unquoted = Unquote(name);
    std::string result;
    if (unquoted.empty()) {
        result = PathWithSeparator(base);
    } else if (PathIsAbsolute(unquoted)) {
        result = unquoted;
    } else {
        if (base.empty()) {
            Raise(
                Format("Base path cannot be an empty string (relative path is \"%s\")", unquoted));
        }
        result = PathWithSeparator(base) + unquoted;
    }
    result = PathNormalize(result);
    if (fileNamePosition) {
        *fileNamePosition = PathFolder(result).size() + 1;
    }
    return result;
}

} // namespace qz
