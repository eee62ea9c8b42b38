/* MEKAL_BUILDINFO() expanded in C11: the facts are this translation unit's
 * (its compiler, the language and standard it is compiled as, and the
 * revision macros its build defines), not the library's. */
#include <stdio.h>
#include <string.h>

#include "check.h"
#include "mekal.h"

static mekal_value_t *value_of(const char *name) {
    static mekal_value_t missing;
    mekal_value_t *value = NULL;
    missing.as_ptr = (void *)"(missing)";
    return mekal_get_nameval(name, NULL, &value, NULL, NULL) == 0 ? value : &missing;
}
#define TEXT(name) ((const char *)value_of(name)->as_ptr)

int main(void) {
    CHECK(MEKAL_BUILDINFO() == 0);
#if defined(__clang__)
    CHECK(strcmp(TEXT("compiler"), "clang") == 0);
#else
    CHECK(strcmp(TEXT("compiler"), "gcc") == 0);
#endif
    CHECK(strcmp(TEXT("language"), "c") == 0);
    CHECK(value_of("language_standard")->as_int == 201112L);
    CHECK(strcmp(TEXT("git_commit"), "c0ffee") == 0);
    CHECK(strcmp(TEXT("git_branch"), "feature/\"x\"") == 0);
    CHECK(value_of("git_dirty")->as_int == 1);
    CHECK(value_of("git_commit_date")->as_long == 1700000000L);
    CHECK(mekal_get_nameval("git_describe", NULL, NULL, NULL, NULL) == -1);
    mekal_clean();
    return check_result("buildinfo_c_test");
}
