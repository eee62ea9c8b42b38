#include "alloc_hooks.h"

#include <cstdlib>
#include <cstring>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *ptr, size_t size);
void __real_free(void *ptr);
}

namespace alloc_hooks {
namespace {
Counts g_counts;
long g_countdown = 0;   // allocations until the failing one; 0: disarmed
bool g_fail_rest = false;

bool should_fail() {
    if (g_countdown <= 0) return false;
    if (--g_countdown == 0) {
        if (g_fail_rest) g_countdown = 1;
        ++g_counts.failed;
        return true;
    }
    return false;
}
}  // namespace

Counts counts() { return g_counts; }
void reset() { g_counts = Counts{}; g_countdown = 0; g_fail_rest = false; }
void fail_nth(long n) { g_countdown = n; g_fail_rest = false; }
void fail_from(long n) { g_countdown = n; g_fail_rest = n > 0; }
bool armed() { return g_countdown > 0; }

}  // namespace alloc_hooks

using alloc_hooks::g_counts;

extern "C" {

void *__wrap_malloc(size_t size) {
    if (alloc_hooks::should_fail()) return nullptr;
    void *p = __real_malloc(size);
    if (p) {
        ++g_counts.allocations;
        g_counts.last_request_size = size;
    }
    return p;
}

void *__wrap_calloc(size_t count, size_t size) {
    if (alloc_hooks::should_fail()) return nullptr;
    void *p = __real_calloc(count, size);
    if (p) {
        ++g_counts.allocations;
        g_counts.last_request_size = count * size;
    }
    return p;
}

void *__wrap_realloc(void *ptr, size_t size) {
    if (alloc_hooks::should_fail()) return nullptr;
    void *p = __real_realloc(ptr, size);
    if (p && ptr == nullptr) ++g_counts.allocations;
    if (p) g_counts.last_request_size = size;
    return p;
}

void __wrap_free(void *ptr) {
    if (ptr) ++g_counts.frees;
    __real_free(ptr);
}

char *__wrap_strdup(const char *text) {
    if (alloc_hooks::should_fail()) return nullptr;
    const size_t n = std::strlen(text) + 1;
    auto *p = static_cast<char *>(__real_malloc(n));
    if (p) {
        std::memcpy(p, text, n);
        ++g_counts.allocations;
        g_counts.last_request_size = n;
    }
    return p;
}

}  // extern "C"
