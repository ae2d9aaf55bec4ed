#pragma once

// Shared by the fuzz targets: a failure must be one of the system's exceptions, and an assertion
// failure (a broken invariant) or a disagreement between an encoder and its decoder counts as a
// crash.

#include "CM/Exceptions.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qz::fuzz {

inline void Check(const Exception& error) {
    if (dynamic_cast<const EAssertionFailed*>(&error) != nullptr) {
        std::abort();
    }
}

/// Ends the run as a crash, naming what disagreed.
[[noreturn]] inline void Disagree(const char* what) {
    std::fprintf(stderr, "encoder and decoder disagree: %s\n", what);
    std::abort();
}

/// A folder of this process for files the decoders read, created once and emptied by the caller.
inline const std::string& ScratchFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/qzfuzz.XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made ? made : "/tmp");
    }();
    return folder;
}

} // namespace qz::fuzz
