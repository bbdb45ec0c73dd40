#pragma once
// Counts heap allocations (malloc, calloc, realloc, aligned forms) of the whole
// process, every thread and the dlopen'ed plug-in included.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Number of allocations since the process started; 0 forever when the counter
// is compiled out (sanitizer builds).
uint64_t holvane_bench_allocations(void);
int holvane_bench_alloc_counter_active(void);

#ifdef __cplusplus
}
#endif
