// Program entry of Tasksmith, the build-system executable the console starts per build. The
// process ends without running the common modules' shut-down, as the console does.

#include "BuildSession.h"
#include "platform/Console.h"

int main(int argc, char** argv) {
    int code = qz::tasksmith::TasksmithMain(std::vector<std::string>(argv + 1, argv + argc));
    qz::platform::ExitProcessNow(code);
}
