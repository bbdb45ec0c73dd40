#include "AllocCounter.h"

#include <stdatomic.h>
#include <stddef.h>

static _Atomic uint64_t s_allocations;

uint64_t holvane_bench_allocations(void)
{
    return atomic_load_explicit(&s_allocations, memory_order_relaxed);
}

#ifndef HOLVANE_BENCH_NO_MALLOC_HOOK

int holvane_bench_alloc_counter_active(void) { return 1; }

// glibc's own entry points; the definitions below interpose on malloc for every
// library in the process, so each allocation is counted once and then served by
// glibc unchanged.
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);

#define HOLVANE_EXPORT __attribute__((visibility("default")))

static inline void counted(void)
{
    atomic_fetch_add_explicit(&s_allocations, 1, memory_order_relaxed);
}

HOLVANE_EXPORT void* malloc(size_t size)
{
    counted();
    return __libc_malloc(size);
}

HOLVANE_EXPORT void* calloc(size_t count, size_t size)
{
    counted();
    return __libc_calloc(count, size);
}

HOLVANE_EXPORT void* realloc(void* block, size_t size)
{
    counted();
    return __libc_realloc(block, size);
}

HOLVANE_EXPORT void free(void* block)
{
    __libc_free(block);
}

HOLVANE_EXPORT void* memalign(size_t alignment, size_t size)
{
    counted();
    return __libc_memalign(alignment, size);
}

HOLVANE_EXPORT void* aligned_alloc(size_t alignment, size_t size)
{
    counted();
    return __libc_memalign(alignment, size);
}

HOLVANE_EXPORT int posix_memalign(void** result, size_t alignment, size_t size)
{
    // EINVAL when the alignment is not a power of two multiple of sizeof(void*).
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return 22;
    counted();
    void* block = __libc_memalign(alignment, size);
    if (block == NULL && size != 0)
        return 12;  // ENOMEM
    *result = block;
    return 0;
}

#else

int holvane_bench_alloc_counter_active(void) { return 0; }

#endif
