/* Records a few values, lists them and looks one up. */
#include <stdio.h>
#include <stdlib.h>

#include "mekal.h"

/* The raw entry takes over a heap slot and a datatype. */
static void record_int(const char *name, const char *subcategory, int v) {
    mekal_value_t *slot = malloc(sizeof *slot);
    if (slot == NULL) return;
    slot->as_long = 0;
    slot->as_int = v;
    mekal_raw_namevalue(name, mekal_category_general, subcategory, slot,
                        mekal_get_basetype(mekal_type_int));
}

static void print_value(const char *name, mekal_category_t category, const char *subcategory,
                        const mekal_value_t *value, const mekal_datatype_t *datatype,
                        void *opaque) {
    (void)opaque;
    printf("%s = %d (category %d, subcategory %s, type code %d)\n", name, (int)value->as_int,
           (int)category, subcategory ? subcategory : "none", (int)datatype->type);
}

int main(void) {
    mekal_init();
    record_int("ranks", "job", 48);
    record_int("threads", "job", 4);
    record_int("ranks", "job", 96); /* replaces the first value in place */

    mekal_list_namevals(0, mekal_category_all, print_value, NULL);
    const mekal_value_t *value = NULL;
    if (mekal_get_nameval("threads", NULL, &value, NULL, NULL) == 0)
        printf("lookup threads: %d\n", (int)value->as_int);
    return mekal_clean();
}
