/*
 * The metadata of this run, as JSON lines.
 *
 * Collects the standard facts of the run, records a value of every kind,
 * and prints every recording as its observer receives it: one JSON object
 * per line, so the output can be piped into jq or any JSON-lines reader.
 * Then looks one value up and prints a summary line holding every stored
 * value, and tears the registry down. The library renders all the JSON
 * (mekal_value_to_json, mekal_namevals_to_json).
 *
 * A recording, the observer's registration or a rendering that fails is
 * reported on stderr, one line each, and the exit status is then 1.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mekal.h"

static int failures = 0;
static long recorded = 0; /* successful recordings of this program */
static long heard = 0;    /* values the observer received */

static void report(const char *what, const char *name) {
    fprintf(stderr, "mekal_example: %s%s%s failed\n", what, name ? " " : "", name ? name : "");
    ++failures;
}

/* A text (or NULL) as a JSON string or null; NULL when rendering fails. */
static char *json_text(const char *text) {
    mekal_value_t value;
    value.as_ptr = (void *)text;
    return mekal_value_to_json(&value, mekal_get_basetype(mekal_type_string));
}

/* The type string of datatype in either form as JSON; NULL on failure. */
static char *json_type(const mekal_datatype_t *datatype, int long_form) {
    if (datatype == NULL) return json_text(NULL);
    char *type = mekal_type_to_string(datatype, long_form);
    char *json = type ? json_text(type) : NULL;
    free(type);
    return json;
}

/* The observer: one JSON line per recording, control events included. */
static void print_event(const char *name, mekal_category_t category, const char *subcategory,
                        mekal_value_t *value, mekal_datatype_t *datatype, void *opaque) {
    FILE *out = (FILE *)opaque;
    if (category != mekal_category_control) ++heard;
    char *name_json = json_text(name);
    char *subcategory_json = json_text(subcategory);
    char *type_json = json_type(datatype, 0);
    char *long_type_json = json_type(datatype, 1);
    char *value_json = value && datatype ? mekal_value_to_json(value, datatype) : json_text(NULL);
    if (name_json && subcategory_json && type_json && long_type_json && value_json) {
        fprintf(out,
                "{\"event\":\"%s\",\"name\":%s,\"category\":%d,\"subcategory\":%s,"
                "\"type\":%s,\"type_long\":%s,\"value\":%s}\n",
                category == mekal_category_control ? "control" : "value", name_json,
                (int)category, subcategory_json, type_json, long_type_json, value_json);
    } else {
        report("rendering", name);
    }
    free(name_json);
    free(subcategory_json);
    free(type_json);
    free(long_type_json);
    free(value_json);
}

static void count_entry(const char *name, mekal_category_t category, const char *subcategory,
                        mekal_value_t *value, mekal_datatype_t *datatype, void *opaque) {
    (void)name, (void)category, (void)subcategory, (void)value, (void)datatype;
    ++*(int *)opaque;
}

static void check_recorded(const char *name, int result) {
    if (result == 0) ++recorded;
    else report("recording", name);
}

/* Records name with mekal_namevalue's arguments and checks the result. */
#define RECORD(name, ...) check_recorded(name, mekal_namevalue(name, __VA_ARGS__))

/* Packed values are laid out without padding, element after element. */
struct __attribute__((packed)) job_step {
    int32_t id;
    const char *label;
    double seconds;
};

static void record_application_values(void) {
    mekal_category_t app = mekal_category_general;

    /* Every scalar conversion. */
    RECORD("ranks_per_node", app, "job", "%d", 48);
    RECORD("threads", app, "job", "%u", 4u);
    RECORD("memory_bytes", app, "job", "%ld", 96L * 1024 * 1024 * 1024);
    RECORD("seed", app, "job", "%lu", 18446744073709551557UL);
    RECORD("cells", app, "mesh", "%lld", 123456789012LL);
    RECORD("checksum", app, "mesh", "%llu", 0xfeedfacecafebeefULL);
    RECORD("tolerance", app, "solver", "%f", 1e-9);
    RECORD("restart_date", app, "io", "%D", 1767225600L);
    struct timeval setup = {2, 345678};
    RECORD("setup_time", mekal_category_performance, "timing", "%t", &setup);
    RECORD("solver_version", app, "solver", "%v", "3.1.4");
    RECORD("title", app, "run", "%s", "Cavity flow \"Re=1000\"\tline\\2");
    RECORD("queue", app, "job", "%r", "gpu-large");
    RECORD("output_dir", app, "io", "%p", "/scratch/run-42/out");
    RECORD("config", app, "run", "%j", "{\"cfl\": 0.5, \"limiter\": [\"minmod\", 2]}");

    /* A reference string: the library stores this pointer; it stays alive. */
    static const char site[] = "site-\xe2\x82\xac-\xff"; /* a euro sign, then a stray byte */
    RECORD("site", app, "run", "&%s", site);

    /* Containers: a set of paths, a list of 16-bit unsigned ints, a range of
     * doubles, and a tuple holding a tuple. */
    const char *inputs[] = {"mesh.h5", "params.toml", "boundary.csv"};
    RECORD("inputs", app, "io", "[%p]", inputs, 3);
    const uint16_t ports[] = {8080, 8081, 65535};
    RECORD("ports", app, "net", "{%u16}", ports, 3);
    const double window[2] = {0.25, 7.5};
    RECORD("time_window", app, "solver", "<%f>", window);
    struct __attribute__((packed)) {
        struct job_step step;
        int8_t level;
    } nested = {{7, "pressure solve", 12.5}, -3};
    RECORD("last_step", app, "solver", "((%d,%s,%f),%i8)", &nested, 2, 3);
}

/* The summary: the number of stored values, one looked up, and every
 * stored value as the registry's JSON document. The document has one entry
 * per line and no other line break (texts are escaped, JSON is compacted),
 * so turning its line breaks into blanks keeps this one line. */
static void print_summary(FILE *out) {
    int stored = 0;
    mekal_list_namevals(1, mekal_category_all, count_entry, &stored);
    mekal_value_t *value = NULL;
    mekal_datatype_t *datatype = NULL;
    char *lookup = mekal_get_nameval("ranks_per_node", &datatype, &value, NULL, NULL) == 0
                       ? mekal_value_to_json(value, datatype)
                       : json_text(NULL);
    char *values = mekal_namevals_to_json(mekal_category_all);
    if (lookup && values) {
        for (char *c = values; *c; ++c)
            if (*c == '\n') *c = ' ';
        fprintf(out, "{\"event\":\"summary\",\"stored\":%d,\"lookup\":\"ranks_per_node\","
                     "\"value\":%s,\"values\":%s}\n", stored, lookup, values);
    } else {
        report("rendering", "the summary");
    }
    free(lookup);
    free(values);
}

int main(void) {
    mekal_init();
    mekal_walltime();
    mekal_systime();
    mekal_cputime();
    /* report_all: this observer hears events even where reporting is off. */
    mekal_register_cb(1, mekal_category_all, print_event, 1, stdout);

    if (mekal_collect_all() != 0) report("collecting", "the facts of the run");
    record_application_values();
    /* Every stored recording reaches a registered observer at once. */
    if (heard < recorded) report("registering", "the observer");

    print_summary(stdout);
    mekal_fini();
    if (mekal_clean() != 0) report("cleaning", "the registry");
    return failures == 0 ? 0 : 1;
}
