#pragma once

// The operating system's error numbers and their texts.

#include <string>

namespace qz::platform {

/// The calling thread's last system error code (errno on POSIX).
int LastSystemError();

/// Sets the calling thread's last system error code.
void SetLastSystemError(int code);

/// The system's message text for an error code, without a trailing line break.
std::string SystemErrorText(int code);

/// The symbolic name of an error code ("ENOENT"), or empty when the code has none.
std::string SystemErrorName(int code);

} // namespace qz::platform
