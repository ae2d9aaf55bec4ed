#pragma once

// A helper for the tests of the shared runtime modules (CM and NV): the message of a raised
// exception. Header-only, so that this library does not depend on the modules it helps to test.

#include "Exceptions.h"

#include <functional>
#include <string>

namespace qz::test {

/// The message of the exception the action raises, or "(no exception)" when it raises none.
inline std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no exception)";
}

} // namespace qz::test
