/* The C tests' one assertion: a failed CHECK is reported and counted, and
 * the test goes on, so that one run shows every failure. */
#ifndef MEKAL_TESTS_C_CHECK_H
#define MEKAL_TESTS_C_CHECK_H

#include <stdio.h>

static int failures = 0;
#define CHECK(cond)                                                                \
    do {                                                                           \
        if (!(cond)) {                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                            \
        }                                                                          \
    } while (0)

/* The exit status of test name: 0 when every check passed. */
static inline int check_result(const char *name) {
    if (failures == 0) printf("%s: all checks passed\n", name);
    return failures == 0 ? 0 : 1;
}

#endif
