// A service for tests of the project's own service supervision: holds a process-owned write lock
// on its pid file, writes its pid (and a state word) there and runs until SIGTERM.
//
//   qz_fake_service <pid file> [--state <word>] [--ignore-term] [--stale-pid <n>]
//
// --ignore-term: SIGTERM does nothing (a service that does not stop).
// --stale-pid n: writes n instead of its own pid (a service still writing its file).
// It ends by itself after two minutes, so a failed test never leaves it behind for long.

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    std::string state;
    bool ignoreTerm = false;
    long pid = getpid();
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--state") == 0 && i + 1 < argc) {
            state = argv[++i];
        } else if (std::strcmp(argv[i], "--ignore-term") == 0) {
            ignoreTerm = true;
        } else if (std::strcmp(argv[i], "--stale-pid") == 0 && i + 1 < argc) {
            pid = std::atol(argv[++i]);
        } else {
            return 2;
        }
    }
    if (ignoreTerm) {
        signal(SIGTERM, SIG_IGN);
    }
    alarm(120);
    int fd = open(argv[1], O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLKW, &lock) != 0 || ftruncate(fd, 0) != 0) {
        return 3;
    }
    std::string text = std::to_string(pid) + "\n" + state + (state.empty() ? "" : "\n");
    if (pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        return 4;
    }
    while (true) {
        pause();
    }
}
