#pragma once

// The Windows version names accepted by /MINWINVER and /MAXWINVER, in table order.

#include <array>
#include <string_view>

namespace qz::nv {

struct WinVersionName {
    std::string_view name;
    int major;
    int minor;
};

inline constexpr std::array<WinVersionName, 8> kWinVersionNames{{
    {"XP", 5, 1},
    {"2003", 5, 2},
    {"Vista", 6, 0},
    {"2008", 6, 0},
    {"7", 6, 1},
    {"8", 6, 2},
    {"8.1", 6, 3},
    {"10", 10, 0},
}};

} // namespace qz::nv
