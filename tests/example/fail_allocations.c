/* Preloaded into a program to exhaust its memory: after the first
 * MEKAL_TEST_ALLOCATIONS allocations (default 0) every malloc, calloc and
 * realloc fails. Memory still comes from the C library's allocator, so its
 * free releases it. */
#include <errno.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *pointer, size_t size);

static long remaining = -1;

static int refuse(void) {
    if (remaining < 0) {
        const char *allowed = getenv("MEKAL_TEST_ALLOCATIONS");
        remaining = allowed ? atol(allowed) : 0;
    }
    if (remaining > 0) {
        --remaining;
        return 0;
    }
    errno = ENOMEM;
    return 1;
}

void *malloc(size_t size) { return refuse() ? NULL : __libc_malloc(size); }
void *calloc(size_t count, size_t size) { return refuse() ? NULL : __libc_calloc(count, size); }
void *realloc(void *pointer, size_t size) { return refuse() ? NULL : __libc_realloc(pointer, size); }
