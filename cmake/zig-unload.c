/* Linked into every shared library that cmake/zig-toolchain.cmake builds, so
 * that it can be unloaded (dlclose) and loaded again, over and over, as the
 * connection plug-ins are:
 *
 * - Its static objects are destroyed when it is unloaded. They are registered
 *   with __cxa_atexit under this library's handle; the system's start-up files
 *   hand that handle to __cxa_finalize on unload, zig's do not, which would
 *   leave the destructors to run at process exit, after their code is gone.
 *
 * - The thread-specific keys it created are deleted when it is unloaded. The
 *   statically linked C++ library makes a key for its threads' data the first
 *   time a std::thread starts and never deletes it, so each load would take
 *   one of the process's 1024 keys for good (and leave a key whose destructor
 *   points into unmapped code). This library's calls to pthread_key_create
 *   reach the definition below (hidden: other libraries keep the C library's),
 *   which notes each key it makes.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

extern void *__dso_handle;
extern void __cxa_finalize(void *);

enum { HOLVANE_TRACKED_KEYS = 32 };
static pthread_mutex_t holvane_keys_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_key_t holvane_keys[HOLVANE_TRACKED_KEYS];
static unsigned holvane_key_count;

typedef int (*holvane_key_create_fn)(pthread_key_t *, void (*)(void *));

__attribute__((visibility("hidden"))) int pthread_key_create(pthread_key_t *key, void (*destructor)(void *))
{
    holvane_key_create_fn create = (holvane_key_create_fn)dlsym(RTLD_NEXT, "pthread_key_create");
    if (create == NULL)
        return EAGAIN;
    int result = create(key, destructor);
    if (result == 0) {
        pthread_mutex_lock(&holvane_keys_lock);
        /* Past the table's size a key is left as the C++ library leaves it. */
        if (holvane_key_count < HOLVANE_TRACKED_KEYS)
            holvane_keys[holvane_key_count++] = *key;
        pthread_mutex_unlock(&holvane_keys_lock);
    }
    return result;
}

__attribute__((visibility("hidden"))) int pthread_key_delete(pthread_key_t key)
{
    pthread_mutex_lock(&holvane_keys_lock);
    for (unsigned i = 0; i < holvane_key_count; ++i) {
        if (holvane_keys[i] == key) {
            holvane_keys[i] = holvane_keys[--holvane_key_count];
            break;
        }
    }
    pthread_mutex_unlock(&holvane_keys_lock);
    int (*remove)(pthread_key_t) = (int (*)(pthread_key_t))dlsym(RTLD_NEXT, "pthread_key_delete");
    return remove == NULL ? EINVAL : remove(key);
}

/* Runs on unload, and at process exit after the exit handlers (then the
 * destructors have already run and the keys' threads are ending with it). */
__attribute__((destructor)) static void holvane_unload(void)
{
    __cxa_finalize(&__dso_handle);
    int (*remove)(pthread_key_t) = (int (*)(pthread_key_t))dlsym(RTLD_NEXT, "pthread_key_delete");
    pthread_mutex_lock(&holvane_keys_lock);
    for (unsigned i = 0; remove != NULL && i < holvane_key_count; ++i)
        remove(holvane_keys[i]);
    holvane_key_count = 0;
    pthread_mutex_unlock(&holvane_keys_lock);
}
