#include "platform/ProcessInfo.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace qz::platform {

namespace {

std::mutex& ArgumentsLock() {
    static std::mutex lock;
    return lock;
}

std::vector<std::string>& Arguments() {
    static std::vector<std::string> arguments;
    return arguments;
}

} // namespace

void SetProcessArguments(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv[i]; ++i) {
        arguments.emplace_back(argv[i]);
    }
    SetProcessArguments(std::move(arguments));
}

void SetProcessArguments(std::vector<std::string> arguments) {
    std::lock_guard<std::mutex> guard(ArgumentsLock());
    Arguments() = std::move(arguments);
}

std::vector<std::string> ProcessArguments() {
    std::lock_guard<std::mutex> guard(ArgumentsLock());
    return Arguments();
}

std::vector<ProcessParent> ProcessParentSnapshot() {
    std::vector<ProcessParent> list;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return list;
    }
    while (dirent* entry = readdir(proc)) {
        const char* name = entry->d_name;
        if (!std::isdigit(static_cast<unsigned char>(name[0]))) {
            continue;
        }
        std::ifstream file(std::string("/proc/") + name + "/stat");
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // "pid (comm) state ppid ...": the command name may hold blanks and parentheses, so
        // the fields after it are found from the last ")".
        std::size_t close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(text.substr(close + 1));
        std::string state;
        ProcessParent item;
        item.pid = std::atoi(name);
        if (fields >> state >> item.parentPid) {
            list.push_back(item);
        }
    }
    closedir(proc);
    return list;
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool RunsAsRoot() {
    return geteuid() == 0;
}

} // namespace qz::platform
