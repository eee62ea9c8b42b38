/* A program that a recorder must not harm, by argv[1]:
 *   observers      observes with state in main's frame, prints every event;
 *                  aborts if an observer is called once main has returned
 *   deep           records a list nested 300 deep through the raw entry,
 *                  and "after" = 1
 *   dlclean        records a, b, c with a clean reached through dlsym
 *                  between each
 *   datafiles D R  closes 0-2, opens D/0..2 in their place, writes a line
 *                  to each, then removes the record R and its directory
 *   cycles N       N times: records "step", mekal_fini, mekal_clean */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mekal.h"

static int in_main;

struct stats {
    int events;
};

static void show(const char *name, mekal_category_t category, const char *subcategory,
                 mekal_value_t *value, mekal_datatype_t *datatype, void *opaque) {
    (void)category, (void)subcategory, (void)value, (void)datatype;
    if (!in_main) abort();
    ((struct stats *)opaque)->events++;
    printf("seen %s\n", name);
}

/* A list of one list of ... of one int, depth levels, as the raw entry takes it. */
static void record_deep(int depth) {
    mekal_datatype_t *type = mekal_get_basetype(mekal_type_int);
    mekal_value_t *value = malloc(sizeof *value);
    value->as_long = 7;
    for (int i = 0; i < depth; ++i) {
        mekal_datatype_t *list = calloc(1, sizeof *list);
        list->type = mekal_type_list;
        list->num_elements = 1;
        list->num_subtypes = 1;
        list->subtypes = malloc(sizeof *list->subtypes);
        list->subtypes[0] = type;
        mekal_value_t *slot = malloc(sizeof *slot);
        slot->as_ptr = value;
        type = list;
        value = slot;
    }
    mekal_raw_namevalue("deep", mekal_category_general, NULL, value, type);
}

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    in_main = 1;
    if (strcmp(mode, "observers") == 0) {
        struct stats stats = {0};
        mekal_register_cb(1, mekal_category_all, show, 1, &stats);
        mekal_namevalue("x", mekal_category_general, NULL, "%d", 1);
        printf("%d events\n", stats.events);
    } else if (strcmp(mode, "deep") == 0) {
        record_deep(300);
        mekal_namevalue("after", mekal_category_general, NULL, "%d", 1);
    } else if (strcmp(mode, "dlclean") == 0) {
        void *symbol = dlsym(dlopen("libmekal.so.0", RTLD_NOW), "mekal_clean");
        int (*clean)(void);
        memcpy(&clean, &symbol, sizeof clean); /* ISO C has no cast between the two */
        const char *names[] = {"a", "b", "c"};
        for (int i = 0; i < 3; ++i) {
            mekal_namevalue(names[i], mekal_category_general, NULL, "%d", i + 1);
            if (i < 2) clean();
        }
    } else if (strcmp(mode, "datafiles") == 0 && argc > 3) {
        for (int fd = 0; fd < 3; ++fd) {
            char path[4096];
            snprintf(path, sizeof path, "%s/%d", argv[2], fd);
            close(fd);
            if (open(path, O_WRONLY | O_CREAT | O_APPEND, 0644) != fd) return 2;
            dprintf(fd, "data %d\n", fd);
        }
        unlink(argv[3]);
        *strrchr(argv[3], '/') = '\0';
        rmdir(argv[3]);
    } else if (strcmp(mode, "cycles") == 0 && argc > 2) {
        for (int i = atoi(argv[2]); i > 0; --i) {
            mekal_namevalue("step", mekal_category_general, NULL, "%d", i);
            mekal_fini();
            mekal_clean();
        }
    }
    in_main = 0;
    return 0;
}
