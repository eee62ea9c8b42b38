/* record_kinds.f90 records every kind and rank; the C lookup reads them
 * back. Then the typed entries' refusals and conversions, from C. */
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "../c/check.h"
#include "mekal.h"

void record_kinds(int *failures);

/* What is stored under name (the width tells a %i8 from a %d). */
static void expect(const char *name, const char *type, unsigned width, const char *json,
                   int category, const char *subcategory) {
    mekal_datatype_t *datatype;
    mekal_value_t *value;
    int stored_category = 0;
    const char *stored_subcategory = "poison";
    if (mekal_get_nameval(name, &datatype, &value, &stored_category, &stored_subcategory) != 0) {
        fprintf(stderr, "%s: not recorded\n", name);
        ++failures;
        return;
    }
    char *stored_type = mekal_type_to_string(datatype, 0);
    char *stored_json = mekal_value_to_json(value, datatype);
    const mekal_datatype_t *scalar = datatype->subtypes ? datatype->subtypes[0] : datatype;
    if (strcmp(stored_type, type) != 0 || strcmp(stored_json, json) != 0 ||
        scalar->base_size != width || stored_category != category ||
        (subcategory ? !stored_subcategory || strcmp(stored_subcategory, subcategory) != 0
                     : stored_subcategory != NULL)) {
        fprintf(stderr, "%s: %s %s in %d, expected %s %s in %d\n", name, stored_type,
                stored_json, stored_category, type, json, category);
        ++failures;
    }
    free(stored_type);
    free(stored_json);
}

int main(void) {
    int fortran_failures = -1;
    record_kinds(&fortran_failures);
    CHECK(fortran_failures == 0);
    static const struct {
        const char *name, *type;
        unsigned width;
        const char *json;
    } recorded[] = {
        {"i8", "%d", 1, "-127"}, {"i16", "%d", 2, "32767"},
        {"i64", "%ld", 8, "9223372036854775807"}, {"r32", "%f", 4, "0.10000000149011612"},
        {"r64", "%f", 8, "0.1"}, {"yes", "%d", 4, "1"}, {"padded", "%s", 8, "\"box  \""},
        {"empty", "%s", 8, "\"\""}, {"i8s", "{%d}", 1, "[-1,127]"}, {"i16s", "{%d}", 2, "[-32767]"},
        {"i32s", "{%d}", 4, "[1,3,5]"}, {"i64s", "{%ld}", 8, "[-9223372036854775807,0]"},
        {"r32s", "{%f}", 4, "[0.5,-2.0]"}, {"r64s", "{%f}", 8, "[1e300]"},
        {"flags", "{%d}", 4, "[1,0,1]"}, {"names", "{%s}", 8, "[\"a\",\" b\",\"\"]"},
        {"nothing", "{%d}", 4, "[]"},
    };
    for (size_t i = 0; i < sizeof recorded / sizeof recorded[0]; ++i) {
        const char *name = recorded[i].name;
        expect(name, recorded[i].type, recorded[i].width, recorded[i].json, mekal_category_general,
               strcmp(name, "i16") == 0 || strcmp(name, "padded") == 0 ? "fortran" : NULL);
    }
    expect("i32", "%d", 4, "-7", mekal_category_performance, "");
    CHECK(mekal_get_nameval("nul", NULL, NULL, NULL, NULL) == -1);

    /* From C: NUL-padded texts, and nothing kept from a refusal. */
    const char cells[2][4] = {"ab", "c"};
    CHECK(mekal_record_array("cells", 5, 2, NULL, 0, mekal_kind_text, cells, 2, 4) == 0);
    expect("cells", "{%s}", 8, "[\"ab\",\"c\"]", mekal_category_general, NULL);
    const int one = 1;
    CHECK(mekal_record_scalar("a\0b", 3, 2, NULL, 0, mekal_kind_int32, &one, 0) == -1);
    CHECK(mekal_get_nameval("a", NULL, NULL, NULL, NULL) == -1);
    CHECK(mekal_record_scalar(NULL, 0, 2, NULL, 0, mekal_kind_int32, &one, 0) == -1);
    CHECK(mekal_record_scalar("x", 1, 2, "s\0", 2, mekal_kind_int32, &one, 0) == -1);
    CHECK(mekal_record_scalar("x", 1, 2, NULL, 0, mekal_kind_text, "a\0b", 3) == -1);
    CHECK(mekal_record_scalar("x", 1, 2, NULL, 0, mekal_kind_int32, NULL, 0) == -1);
    CHECK(mekal_record_scalar("x", 1, 2, NULL, 0, 0, &one, 0) == -1);
    CHECK(mekal_record_array("x", 1, 2, NULL, 0, mekal_kind_text + 1, &one, 1, 0) == -1);
    CHECK(mekal_record_array("x", 1, 2, NULL, 0, mekal_kind_int32, NULL, 1, 0) == -1);
    CHECK(mekal_record_array("x", 1, 2, NULL, 0, mekal_kind_int8, cells, (size_t)INT_MAX + 1,
                             0) == -1);
    CHECK(mekal_record_array("x", 1, 2, NULL, 0, mekal_kind_text, "a\0b", 1, 3) == -1);
    CHECK(mekal_get_nameval("x", NULL, NULL, NULL, NULL) == -1);

    /* Reads of what C code stores: unsigned and 64-bit values as far as they
     * fit, infinities as floats. */
    int64_t wide = -1;
    int32_t narrow = -1;
    int16_t half = 0;
    double real = 0;
    float single = 0;
    const char *text = NULL;
    mekal_namevalue("u", 2, NULL, "%u", 4000000000u);
    mekal_namevalue("ull", 2, NULL, "%llu", ULLONG_MAX);
    mekal_namevalue("inf", 2, NULL, "%f", INFINITY);
    mekal_namevalue("version", 2, NULL, "%v", "1.2");
    CHECK(mekal_get_scalar("u", 1, mekal_kind_int64, &wide) == 0 && wide == 4000000000);
    CHECK(mekal_get_scalar("u", 1, mekal_kind_int32, &narrow) == -1 && narrow == -1);
    CHECK(mekal_get_scalar("i16", 3, mekal_kind_int16, &half) == 0 && half == 32767);
    CHECK(mekal_get_scalar("r32", 3, mekal_kind_real64, &real) == 0 && real == (double)0.1f);
    CHECK(mekal_get_scalar("ull", 3, mekal_kind_int64, &wide) == -1);
    CHECK(mekal_get_scalar("inf", 3, mekal_kind_real32, &single) == 0 && isinf(single));
    CHECK(mekal_get_scalar("version", 7, mekal_kind_text, &text) == 0 && strcmp(text, "1.2") == 0);
    CHECK(mekal_get_scalar("version", 7, mekal_kind_real64, &wide) == -1);
    CHECK(mekal_get_scalar("u\0", 2, mekal_kind_int64, &wide) == -1);
    CHECK(mekal_get_scalar("u", 1, 0, &wide) == -1);
    CHECK(mekal_get_scalar("u", 1, mekal_kind_int64, NULL) == -1);
    mekal_clean();
    return check_result("fortran_record_test");
}
