/* The public header as a C11 program sees it: it compiles as C, and the
 * records shared with the library have the layouts the library uses. */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#include "check.h"
#include "mekal.h"

_Static_assert(sizeof(mekal_datatype_t) == 40, "datatype size");
_Static_assert(offsetof(mekal_datatype_t, type) == 0, "type");
_Static_assert(offsetof(mekal_datatype_t, numerical) == 4, "numerical");
_Static_assert(offsetof(mekal_datatype_t, num_elements) == 8, "num_elements");
_Static_assert(offsetof(mekal_datatype_t, num_subtypes) == 12, "num_subtypes");
_Static_assert(offsetof(mekal_datatype_t, subtypes) == 16, "subtypes");
_Static_assert(offsetof(mekal_datatype_t, is_reference) == 24, "is_reference");
_Static_assert(offsetof(mekal_datatype_t, num_ref_elements) == 28, "num_ref_elements");
_Static_assert(offsetof(mekal_datatype_t, base_size) == 32, "base_size");
_Static_assert(sizeof(mekal_buildinfo_t) == 72, "buildinfo size");
_Static_assert(offsetof(mekal_buildinfo_t, language_standard) == 32, "language_standard");
_Static_assert(offsetof(mekal_buildinfo_t, git_commit) == 40, "git_commit");
_Static_assert(offsetof(mekal_buildinfo_t, git_commit_date) == 64, "git_commit_date");
_Static_assert(sizeof(mekal_value_t) == 8, "value slot size");
_Static_assert(sizeof(mekal_value_info_t) == 32, "info size");
_Static_assert(offsetof(mekal_value_info_t, category) == 0, "info category");
_Static_assert(offsetof(mekal_value_info_t, subcategory) == 8, "info subcategory");
_Static_assert(offsetof(mekal_value_info_t, timestamp) == 16, "info timestamp");
_Static_assert(mekal_type_jsonstring == 18 && mekal_type_long_long == 16, "type codes");
_Static_assert(mekal_category_control == 4, "control category");

static int seen = 0;
static void count_cb(const char *name, mekal_value_t *value,
                     mekal_datatype_t *datatype, mekal_value_info_t *info,
                     void *opaque) {
    (void)name;
    (void)datatype;
    (void)info;
    *(int *)opaque += 1;
    if (value->as_int == 42) ++seen;
}

/* The plain callback as tools write it: plain value and datatype pointers. */
static int plain_seen = 0;
static void plain_cb(const char *name, int category, const char *subcategory,
                     mekal_value_t *value, mekal_datatype_t *datatype, void *opaque) {
    (void)name;
    (void)subcategory;
    (void)opaque;
    if (category == mekal_category_general && datatype->type == mekal_type_int &&
        value->as_int == 42)
        ++plain_seen;
}

int main(void) {
    /* The value slot: as_int is the low half on this little-endian target. */
    mekal_value_t v;
    v.as_long = 0x1122334455667788LL;
    CHECK(v.as_int == 0x55667788);

    mekal_datatype_t *int_type = mekal_get_basetype(mekal_type_int);
    CHECK(int_type != NULL && int_type->type == mekal_type_int && int_type->base_size == 4);
    CHECK(mekal_numerical_from_type(mekal_type_date) == mekal_numerical_interval);

    int calls = 0;
    mekal_register_cb_with_info(1, mekal_category_all, count_cb, 0, &calls);
    mekal_register_cb(1, mekal_category_all, plain_cb, 0, NULL);
    mekal_value_t *slot = (mekal_value_t *)malloc(sizeof *slot);
    slot->as_int = 42;
    CHECK(mekal_raw_namevalue("answer", mekal_category_general, "c", slot,
                              mekal_get_basetype(mekal_type_int)) == 0);
    mekal_value_t *stored = NULL;
    mekal_datatype_t *stored_type = NULL;
    mekal_category_t category = 0;
    const char *subcategory = NULL;
    CHECK(mekal_get_nameval("answer", &stored_type, &stored, &category, &subcategory) == 0);
    CHECK(stored == slot && stored->as_int == 42 && category == mekal_category_general);
    CHECK(stored_type == int_type && subcategory != NULL);
    mekal_value_info_t *info = NULL;
    CHECK(mekal_get_nameval_with_info("answer", &stored_type, &stored, &info) == 0);
    CHECK(info != NULL && info->category == mekal_category_general);
    CHECK(calls == 1 && seen == 1 && plain_seen == 1);

    /* An element's datatype comes back as a plain pointer, ready to hand in again. */
    const int pair[2] = {7, 8};
    CHECK(mekal_namevalue("pair", mekal_category_general, NULL, "[%d]", pair, 2) == 0);
    CHECK(mekal_get_nameval("pair", &stored_type, &stored, NULL, NULL) == 0);
    mekal_datatype_t *element_type = NULL;
    mekal_value_t element;
    CHECK(mekal_get_subval(stored_type, stored, 1, &element_type, &element) == 0);
    CHECK(element_type == int_type && element.as_int == 8);

    CHECK(mekal_clean() == 0);
    CHECK(calls == 3); /* "pair" and the "clean" event */
    CHECK(mekal_get_nameval("answer", NULL, NULL, NULL, NULL) == -1);

    return check_result("c_header_test");
}
