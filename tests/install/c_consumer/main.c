/* Records a packed two-dimensional array, reads one element back through
 * the nested element access and counts what its observer saw. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mekal.h>

#if MEKAL_VERSION_MAJOR != 0 || MEKAL_VERSION_MINOR != 5
#error "built against an unexpected mekal version"
#endif

static void count_event(const char *name, mekal_category_t category, const char *subcategory,
                        mekal_value_t *value, mekal_datatype_t *datatype,
                        void *opaque) {
    (void)name;
    (void)category;
    (void)subcategory;
    (void)value;
    (void)datatype;
    ++*(int *)opaque;
}

static int fail(const char *what) {
    fprintf(stderr, "c consumer: %s\n", what);
    return 1;
}

int main(void) {
    int events = 0;
    const int grid[2][3] = {{1, 2, 3}, {4, 5, 6}};
    mekal_datatype_t *datatype = NULL, *row_type = NULL, *cell_type = NULL;
    mekal_value_t *value = NULL;
    mekal_value_t row, cell;
    char *type;
    int same;

    mekal_register_cb(1, mekal_category_all, count_event, 0, &events);
    if (mekal_namevalue("grid", mekal_category_general, "consumer", "[[%d]]", grid, 2, 3) != 0)
        return fail("recording failed");
    if (mekal_get_nameval("grid", &datatype, &value, NULL, NULL) != 0)
        return fail("lookup failed");
    type = mekal_type_to_string(datatype, 1);
    same = type != NULL && strcmp(type, "set of set of int") == 0;
    free(type);
    if (!same) return fail("unexpected datatype");
    if (mekal_get_subval(datatype, value, 1, &row_type, &row) != 0 ||
        mekal_get_subval(row_type, &row, 2, &cell_type, &cell) != 0 || cell.as_int != 6)
        return fail("element [1][2] is not 6");
    if (events != 1) return fail("the observer missed the recording");
    mekal_clean();
    if (events != 2) return fail("the observer missed \"clean\"");
    puts("c consumer: ok");
    return 0;
}
