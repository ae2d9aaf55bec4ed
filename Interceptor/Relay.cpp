// qzrelay: started in place of a caught tool (RelayRun.h). Its arguments are
// "<program> <argv0> <args...>", or "<args...>" when started through a masquerade link named after
// the tool. It writes nothing of its own to standard output or error, except a usage line when
// started by hand without a tool.

#include "RelayRun.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    std::vector<std::string> environment = qz::platform::EnvironmentEntries();
    std::string cwd = qz::platform::CurrentFolder();
    std::string self = qz::platform::ExecutablePath();
    auto request = qz::intercept::RequestOf(arguments, environment, cwd, self);
    if (!request) {
        // Started by hand without a tool; a request whose tool is nowhere ends as below.
        if (arguments.empty() || (arguments[0].ends_with(std::string(qz::intercept::kRelayName)) &&
                                  (arguments.size() < 3 || arguments[1].empty()))) {
            std::fputs("usage: qzrelay <program> <argv0> [<args>...]\n", stderr);
            return 2;
        }
        return 127; // a masquerade link whose tool is nowhere in PATH, as a shell would say
    }
    qz::intercept::Relay(*request, environment, cwd);
}
