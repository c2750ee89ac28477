// Preloaded into a helper by a test (exit_pause_environment): holds the
// process at its exit for ZELTO_EXIT_PAUSE_MS milliseconds. Registered before
// main, it runs after every exit handler the helper registers itself, so
// signals that come meanwhile find the helper exiting. The file
// /tmp/zelto-exit-pause.<pid> tells the test that the pause has begun.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static long pause_ms;

static void pause_at_exit(void)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += pause_ms / 1000;
    until.tv_nsec += pause_ms % 1000 * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        ++until.tv_sec;
        until.tv_nsec -= 1000000000L;
    }
    char marker[64];
    snprintf(marker, sizeof marker, "/tmp/zelto-exit-pause.%d", (int)getpid());
    int const fd = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
    }
}

__attribute__((constructor)) static void register_pause(void)
{
    char const* ms = getenv("ZELTO_EXIT_PAUSE_MS");
    if (!ms)
        return;
    pause_ms = strtol(ms, NULL, 10);
    // The helper's own children (the authentication script) exit as usual.
    unsetenv("LD_PRELOAD");
    unsetenv("ZELTO_EXIT_PAUSE_MS");
    atexit(pause_at_exit);
}
