/* A build tool in miniature for the interception tests: starts a program the way its first
   argument says and writes how it ended ("exit N" or "signal N") to the file named by
   PROBE_STATUS. Its own output is nothing else, so the started program's output is all there is.
   Usage: SpawnProbe <method> <program> [<args>...], method one of execve execv execvp execvpe
   execl execlp execle spawn spawnp execve-noenv system, or spawn-reaper (posix_spawnp twenty
   times in turn, each reaped by a SIGCHLD handler). Built plain and static (the static one cannot
   be intercepted by a preloaded library). */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static void Report(int status) {
    const char* path = getenv("PROBE_STATUS");
    if (path == NULL) {
        return;
    }
    char text[64];
    if (WIFSIGNALED(status)) {
        snprintf(text, sizeof text, "signal %d", WTERMSIG(status));
    } else {
        snprintf(text, sizeof text, "exit %d", WEXITSTATUS(status));
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        ssize_t ignored = write(fd, text, strlen(text));
        (void)ignored;
        close(fd);
    }
}

static volatile sig_atomic_t reaped;
static volatile int reapedStatus;

static void OnChild(int signal) {
    (void)signal;
    int saved = errno;
    int status = 0;
    while (waitpid(-1, &status, WNOHANG) > 0) {
        reapedStatus = status;
        reaped = 1;
    }
    errno = saved;
}

/* Spawns the program count times in turn; a SIGCHLD handler reaps each. */
static int SpawnReaped(char** rest, int count) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnChild;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &action, NULL);
    sigset_t block;
    sigset_t old;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    int status = 0;
    for (int i = 0; i < count; ++i) {
        reaped = 0;
        pid_t pid = 0;
        if (posix_spawnp(&pid, rest[0], NULL, NULL, rest, environ) != 0) {
            return 127 << 8;
        }
        sigprocmask(SIG_BLOCK, &block, &old);
        while (!reaped) {
            sigsuspend(&old);
        }
        sigprocmask(SIG_SETMASK, &old, NULL);
        status = reapedStatus;
    }
    return status;
}

static void Exec(const char* method, char** argv) {
    const char* program = argv[0];
    char** args = argv + 1; /* args[0] is the program's argv[0] */
    int n = 0;
    while (args[n] != NULL) {
        ++n;
    }
    const char* a1 = n > 1 ? args[1] : NULL;
    const char* a2 = n > 2 ? args[2] : NULL;
    const char* a3 = n > 3 ? args[3] : NULL;
    char* empty[] = {NULL};
    if (strcmp(method, "execve") == 0) {
        execve(program, args, environ);
    } else if (strcmp(method, "execve-noenv") == 0) {
        execve(program, args, empty);
    } else if (strcmp(method, "execv") == 0) {
        execv(program, args);
    } else if (strcmp(method, "execvp") == 0) {
        execvp(program, args);
    } else if (strcmp(method, "execvpe") == 0) {
        execvpe(program, args, environ);
    } else if (strcmp(method, "execl") == 0) {
        execl(program, args[0], a1, a2, a3, (char*)NULL);
    } else if (strcmp(method, "execlp") == 0) {
        execlp(program, args[0], a1, a2, a3, (char*)NULL);
    } else if (strcmp(method, "execle") == 0) {
        execle(program, args[0], a1, a2, a3, (char*)NULL, environ);
    }
    _exit(errno == ENOENT ? 127 : 126);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fputs("usage: SpawnProbe <method> <program> [<args>...]\n", stderr);
        return 2;
    }
    const char* method = argv[1];
    /* For the exec methods: the program path, then its argv (argv[0] the program as named). */
    char** rest = argv + 2;
    char** programArgs = calloc((size_t)argc + 1, sizeof(char*));
    programArgs[0] = rest[0];
    for (int i = 0; rest[i] != NULL; ++i) {
        programArgs[i + 1] = rest[i];
    }
    int status = 0;
    if (strcmp(method, "system") == 0) {
        status = system(rest[0]);
    } else if (strcmp(method, "spawn-reaper") == 0) {
        status = SpawnReaped(rest, 20);
    } else if (strcmp(method, "spawn") == 0 || strcmp(method, "spawnp") == 0) {
        pid_t pid = 0;
        int error = strcmp(method, "spawn") == 0
                        ? posix_spawn(&pid, rest[0], NULL, NULL, rest, environ)
                        : posix_spawnp(&pid, rest[0], NULL, NULL, rest, environ);
        if (error != 0) {
            status = 127 << 8;
        } else {
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    } else {
        pid_t pid = fork();
        if (pid == 0) {
            Exec(method, programArgs);
        }
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    free(programArgs);
    Report(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
