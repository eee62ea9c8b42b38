/* Cleans the registry twice and calls mekal_fini itself: the record keeps
 * "a", "b" and "c", and the program's observer sees one "fini" only. */
#include <string.h>

#include "mekal.h"

static int fini_seen = 0;

static void on_fini(const char *name, mekal_category_t category, const char *subcategory,
                    mekal_value_t *value, mekal_datatype_t *datatype, void *opaque) {
    (void)category, (void)subcategory, (void)value, (void)datatype, (void)opaque;
    if (strcmp(name, "fini") == 0)
        mekal_namevalue("fini_seen", mekal_category_general, NULL, "%d", ++fini_seen);
}

int main(void) {
    int failed = mekal_namevalue("a", mekal_category_general, NULL, "%d", 1) != 0;
    failed |= mekal_clean() != 0;
    failed |= mekal_namevalue("b", mekal_category_general, NULL, "%d", 2) != 0;
    failed |= mekal_clean() != 0;
    mekal_register_cb(1, mekal_category_control, on_fini, 1, NULL);
    failed |= mekal_namevalue("c", mekal_category_general, NULL, "%d", 3) != 0;
    mekal_fini();
    return failed;
}
