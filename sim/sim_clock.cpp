// The simulated module's clock: time runs time_scale times faster than the host's.
#include "sim_platform.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <time.h>

void sim_platform::sleep_ms(unsigned ms) {
    fflush(stdout);  // as on the module: the log is written out before every wait
    pause_ms(ms);
}

void sim_platform::pause_ms(unsigned ms) {
    unsigned long us = (unsigned long)ms * 1000UL / (unsigned long)opt_.time_scale;
    struct timespec ts;
    ts.tv_sec = (time_t)(us / 1000000UL);
    ts.tv_nsec = (long)(us % 1000000UL) * 1000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

time_t sim_platform::now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    double elapsed = (double)(t.tv_sec - start_.tv_sec) + (double)(t.tv_nsec - start_.tv_nsec) / 1e9;
    static const time_t boot_wall = time(nullptr);
    return boot_wall + (time_t)(elapsed * opt_.time_scale);
}

int64_t sim_platform::monotonic_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    int64_t ms = (int64_t)(t.tv_sec - start_.tv_sec) * 1000 + (t.tv_nsec - start_.tv_nsec) / 1000000;
    return ms * opt_.time_scale;
}

int sim_platform::poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) {
    fflush(stdout);
    if (timeout_ms > 0) {
        timeout_ms /= opt_.time_scale;
        if (timeout_ms < 1) timeout_ms = 1;
    }
    return ::poll(fds, nfds, timeout_ms);
}
