#include "GridConsoleCore.h"

namespace qz::nv {

int ConsoleMain(int, char**) {
    return 0;
}

} // namespace qz::nv
