/* Linked into every program and library that cmake/zig-toolchain.cmake builds,
 * so that timed waits on a condition variable keep to the monotonic clock, as
 * they do when built against a glibc of 2.30 or newer.
 *
 * Built for glibc 2.28, the C++ library turns the steady-clock deadline of
 * std::condition_variable::wait_for and wait_until into a wall-clock one and
 * waits with pthread_cond_timedwait: a step of the system clock (NTP setting
 * the time at start-up, an operator changing it) would then stretch or cut a
 * wait by the size of the step. This library's calls to pthread_cond_timedwait
 * reach the definition below (hidden: other libraries keep the C library's),
 * which turns the wall-clock deadline back into the time left and waits that
 * long on the monotonic clock with pthread_cond_clockwait, wherever the C
 * library offers it (glibc 2.30 and newer); on an older one the wait is the
 * C library's own. Every condition variable in these products is a
 * std::condition_variable, whose deadlines are on the wall clock.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <time.h>

typedef int (*holvane_timedwait_fn)(pthread_cond_t *, pthread_mutex_t *, const struct timespec *);
typedef int (*holvane_clockwait_fn)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const struct timespec *);

static holvane_timedwait_fn holvane_wall_clock_wait;
static holvane_clockwait_fn holvane_clock_wait;
static int holvane_waits_resolved;

static void holvane_resolve_waits(void)
{
    if (__atomic_load_n(&holvane_waits_resolved, __ATOMIC_ACQUIRE))
        return;
    /* Threads that race here store the same values. */
    holvane_timedwait_fn wall = (holvane_timedwait_fn)dlvsym(RTLD_NEXT, "pthread_cond_timedwait", "GLIBC_2.3.2");
    if (wall == NULL)
        wall = (holvane_timedwait_fn)dlsym(RTLD_NEXT, "pthread_cond_timedwait");
    __atomic_store_n(&holvane_wall_clock_wait, wall, __ATOMIC_RELAXED);
    __atomic_store_n(&holvane_clock_wait,
                     (holvane_clockwait_fn)dlvsym(RTLD_NEXT, "pthread_cond_clockwait", "GLIBC_2.30"),
                     __ATOMIC_RELAXED);
    __atomic_store_n(&holvane_waits_resolved, 1, __ATOMIC_RELEASE);
}

/* The monotonic deadline that lies as far from `now_monotonic` as `wall_deadline`
 * lies from `now_wall` (a deadline already passed gives now). */
__attribute__((visibility("hidden"))) struct timespec holvane_monotonic_deadline(
    const struct timespec *wall_deadline, const struct timespec *now_wall, const struct timespec *now_monotonic)
{
    /* Far deadlines saturate at about 290 years from now, well inside time_t. */
    const int64_t far = INT64_C(9000000000);
    int64_t seconds = (int64_t)wall_deadline->tv_sec - (int64_t)now_wall->tv_sec;
    int64_t nanoseconds = (int64_t)wall_deadline->tv_nsec - (int64_t)now_wall->tv_nsec;
    if (seconds > far)
        seconds = far;
    if (nanoseconds < 0) {
        seconds -= 1;
        nanoseconds += 1000000000;
    }
    if (seconds < 0)
        return *now_monotonic;
    struct timespec deadline;
    deadline.tv_sec = (time_t)(now_monotonic->tv_sec + seconds);
    deadline.tv_nsec = (long)(now_monotonic->tv_nsec + nanoseconds);
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    return deadline;
}

__attribute__((visibility("hidden"))) int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex,
                                                                 const struct timespec *wall_deadline)
{
    holvane_resolve_waits();
    holvane_clockwait_fn clock_wait = __atomic_load_n(&holvane_clock_wait, __ATOMIC_RELAXED);
    if (clock_wait == NULL || wall_deadline->tv_nsec < 0 || wall_deadline->tv_nsec >= 1000000000) {
        holvane_timedwait_fn wall_wait = __atomic_load_n(&holvane_wall_clock_wait, __ATOMIC_RELAXED);
        return wall_wait == NULL ? EINVAL : wall_wait(cond, mutex, wall_deadline);
    }
    struct timespec now_wall, now_monotonic;
    clock_gettime(CLOCK_REALTIME, &now_wall);
    clock_gettime(CLOCK_MONOTONIC, &now_monotonic);
    const struct timespec deadline = holvane_monotonic_deadline(wall_deadline, &now_wall, &now_monotonic);
    return clock_wait(cond, mutex, CLOCK_MONOTONIC, &deadline);
}
