"""The two C files that cmake/zig-toolchain.cmake links into its products,
compiled here with the system's C compiler: timed waits turned onto the
monotonic clock, and a library that gives back its thread keys when unloaded."""

import subprocess
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SHIMS = REPO / "cmake"

WAITS = r"""
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>
struct timespec holvane_monotonic_deadline(const struct timespec *, const struct timespec *, const struct timespec *);
static void show(long ds, long dns, long ws, long wns, long ms, long mns) {
    struct timespec wall = {ds, dns}, now = {ws, wns}, mono = {ms, mns};
    struct timespec d = holvane_monotonic_deadline(&wall, &now, &mono);
    printf("%lld.%09ld\n", (long long)d.tv_sec, d.tv_nsec);
}
int main(void) {
    show(1000, 500000000, 990, 700000000, 50, 600000000);  /* 9.8 s left */
    show(990, 0, 1000, 0, 50, 0);                           /* passed: now */
    show(0x7fffffffffffffffL, 999999999, 1000, 0, 50, 0);   /* far: saturates */
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
    struct timespec start, end, deadline;
    clock_gettime(CLOCK_MONOTONIC, &start);
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 200000000;
    if (deadline.tv_nsec >= 1000000000) { deadline.tv_sec += 1; deadline.tv_nsec -= 1000000000; }
    pthread_mutex_lock(&m);
    int status = pthread_cond_timedwait(&c, &m, &deadline);
    pthread_mutex_unlock(&m);
    clock_gettime(CLOCK_MONOTONIC, &end);
    long waited = (end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000;
    printf("%s %ld\n", status == ETIMEDOUT ? "ETIMEDOUT" : "other", waited);
    return 0;
}
"""

# A library that takes a thread key with a destructor when loaded, as the C++
# library does for its threads, and a program that loads and unloads it.
KEY_LIBRARY = r"""
#include <pthread.h>
static pthread_key_t key;
static void forget(void *p) { (void)p; }
__attribute__((constructor)) static void take(void)
{ pthread_key_create(&key, forget); pthread_setspecific(key, &key); }
"""
LOADER = r"""
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
static int free_keys(void) {
    pthread_key_t keys[2048]; int n = 0;
    while (n < 2048 && pthread_key_create(&keys[n], NULL) == 0) n++;
    for (int i = 0; i < n; i++) pthread_key_delete(keys[i]);
    return n;
}
int main(int argc, char **argv) {
    int before = free_keys();
    for (int i = 0; i < 50; i++) {
        void *h = dlopen(argv[1], RTLD_NOW);
        if (!h) { puts(dlerror()); return 1; }
        dlclose(h);
    }
    printf("%d %d\n", before, free_keys());
    return 0;
}
"""


def build(tmp_path, name, source, *extra):
    src = tmp_path / f"{name}.c"
    src.write_text(source)
    out = tmp_path / name
    subprocess.run(
        ["gcc", "-O1", "-Wall", "-Werror", str(src), *map(str, extra), "-o", str(out), "-ldl", "-lpthread"], check=True
    )
    return out


def test_timed_waits_keep_their_length_on_the_monotonic_clock(tmp_path):
    program = build(tmp_path, "waits", WAITS, SHIMS / "zig-monotonic-wait.c")
    lines = subprocess.run([str(program)], capture_output=True, text=True, check=True, timeout=30).stdout.split()
    assert lines[:3] == ["60.400000000", "50.000000000", "9000000050.999999999"]
    # The wait itself goes through the shim and ends at its deadline, not before.
    assert lines[3] == "ETIMEDOUT" and 190 <= int(lines[4]) < 5000, lines


def test_a_library_unloaded_gives_back_its_thread_keys(tmp_path):
    loader = build(tmp_path, "loader", LOADER)
    results = {}
    for name, shim in (("with", [SHIMS / "zig-unload.c"]), ("without", [])):
        library = build(tmp_path, f"lib{name}.so", KEY_LIBRARY, *shim, "-shared", "-fPIC")
        out = subprocess.run([str(loader), str(library)], capture_output=True, text=True, check=True, timeout=30)
        before, after = map(int, out.stdout.split())
        results[name] = before - after
    # Without the shim every load takes a key for good: the test sees the fault.
    assert results == {"with": 0, "without": 50}
