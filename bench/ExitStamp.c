/* A minimal child for the child-exit benchmarks: writes the time it ends (CLOCK_MONOTONIC in
   nanoseconds, the clock std::chrono::steady_clock reads) to the file named by
   QZ_BENCH_EXIT_STAMP and exits. Small, so the kernel's teardown of the child costs little. */

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(void) {
    const char* file = getenv("QZ_BENCH_EXIT_STAMP");
    if (!file) {
        return 2;
    }
    int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[32];
    int length = snprintf(text, sizeof text, "%lld",
                          (long long)now.tv_sec * 1000000000LL + (long long)now.tv_nsec);
    _exit(write(fd, text, (size_t)length) == length ? 0 : 1);
}
