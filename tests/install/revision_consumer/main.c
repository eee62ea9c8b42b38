/* Prints the source revision that MEKAL_BUILDINFO() recorded for this
 * program, "(none)" or -1 for what is unknown. */
#include <stdio.h>

#include <mekal.h>

static mekal_value_t *value_of(const char *name) {
    mekal_value_t *value = NULL;
    return mekal_get_nameval(name, NULL, &value, NULL, NULL) == 0 ? value : NULL;
}

static const char *text_of(const char *name) {
    mekal_value_t *value = value_of(name);
    return value != NULL ? (const char *)value->as_ptr : "(none)";
}

int main(void) {
    if (MEKAL_BUILDINFO() != 0) return 1;
    printf("git_commit=%s git_dirty=%d git_branch=%s\n", text_of("git_commit"),
           value_of("git_dirty") != NULL ? value_of("git_dirty")->as_int : -1,
           text_of("git_branch"));
    return mekal_clean();
}
