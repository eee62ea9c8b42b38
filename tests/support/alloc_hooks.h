// Test-only allocation hooks for programs linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free,--wrap=strdup.
// Counts the allocations and frees made by the code linked into the test
// (the library's objects), and can fail the Nth allocation from now.
#pragma once

#include <cstddef>

namespace alloc_hooks {

struct Counts {
    long allocations = 0;  // successful malloc, calloc, strdup, realloc(NULL, n)
    long frees = 0;        // free of a non-null pointer
    long failed = 0;       // allocations failed on purpose
    size_t last_request_size = 0;  // bytes asked for by the latest successful allocation
};

Counts counts();
void reset();
// Fail the nth allocation from now (1 = the next one); 0 disarms.
void fail_nth(long n);
// Fail every allocation from the nth on.
void fail_from(long n);
bool armed();

// Counts the allocations and frees of a scope.
class Scope {
public:
    Scope() : start_(counts()) {}
    long allocations() const { return counts().allocations - start_.allocations; }
    long frees() const { return counts().frees - start_.frees; }
private:
    Counts start_;
};

}  // namespace alloc_hooks
