/*
 * The metadata of this run, as JSON lines.
 *
 * Collects the standard facts of the run, records a value of every kind,
 * and prints every recording as its observer receives it: one JSON object
 * per line, so the output can be piped into jq or any JSON-lines reader.
 * Then looks one value up, lists what is stored, and tears the registry down.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mekal.h"

/* Writes text as a JSON string. Valid UTF-8 passes through; quotes,
 * backslashes and control characters are escaped; a byte that is not part
 * of valid UTF-8 is written as \u00XX (its Latin-1 reading) so the line
 * stays valid JSON without dropping it. */
static void put_json_text(FILE *out, const char *text) {
    if (text == NULL) {
        fputs("null", out);
        return;
    }
    const unsigned char *p = (const unsigned char *)text;
    fputc('"', out);
    while (*p) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
            ++p;
        } else if (c < 0x20 || c == 0x7f) {
            switch (c) {
            case '\n': fputs("\\n", out); break;
            case '\t': fputs("\\t", out); break;
            case '\r': fputs("\\r", out); break;
            case '\b': fputs("\\b", out); break;
            case '\f': fputs("\\f", out); break;
            default: fprintf(out, "\\u%04x", c); break;
            }
            ++p;
        } else if (c < 0x80) {
            fputc(c, out);
            ++p;
        } else {
            /* Length and minimum code point of the sequence c starts. */
            int len = 0;
            uint32_t cp = 0, min = 0;
            if (c >= 0xc2 && c <= 0xdf) { len = 2; cp = c & 0x1f; min = 0x80; }
            else if (c >= 0xe0 && c <= 0xef) { len = 3; cp = c & 0x0f; min = 0x800; }
            else if (c >= 0xf0 && c <= 0xf4) { len = 4; cp = c & 0x07; min = 0x10000; }
            int ok = len > 0;
            for (int i = 1; ok && i < len; ++i) {
                if ((p[i] & 0xc0) != 0x80) ok = 0;
                else cp = (cp << 6) | (p[i] & 0x3f);
            }
            if (ok && (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))) ok = 0;
            if (ok) {
                fwrite(p, 1, (size_t)len, out);
                p += len;
            } else {
                fprintf(out, "\\u%04x", c);
                ++p;
            }
        }
    }
    fputc('"', out);
}

static void put_json_double(FILE *out, double d) {
    if (isfinite(d)) fprintf(out, "%.17g", d);
    else fputs("null", out);
}

/* Writes a value as JSON: numbers, texts, dates as seconds, timevals as
 * seconds with a fraction, containers as arrays taken apart element by
 * element. */
static void put_json_value(FILE *out, mekal_datatype_t *datatype, mekal_value_t *value) {
    if (datatype == NULL || value == NULL) {
        fputs("null", out);
        return;
    }
    switch (datatype->type) {
    case mekal_type_long:
    case mekal_type_long_long:
    case mekal_type_date:
        fprintf(out, "%lld", (long long)value->as_long);
        break;
    case mekal_type_unsigned_long:
    case mekal_type_unsigned_long_long:
        fprintf(out, "%llu", (unsigned long long)value->as_long);
        break;
    case mekal_type_int:
        fprintf(out, "%d", (int)value->as_int);
        break;
    case mekal_type_unsigned_int:
        fprintf(out, "%u", (unsigned)value->as_int);
        break;
    case mekal_type_double:
        put_json_double(out, value->as_double);
        break;
    case mekal_type_timeval: {
        const struct timeval *tv = (const struct timeval *)value->as_ptr;
        if (tv == NULL) fputs("null", out);
        else fprintf(out, "%lld.%06ld", (long long)tv->tv_sec, (long)tv->tv_usec);
        break;
    }
    case mekal_type_version:
    case mekal_type_string:
    case mekal_type_catstring:
    case mekal_type_path:
    case mekal_type_jsonstring:
        put_json_text(out, (const char *)value->as_ptr);
        break;
    case mekal_type_range:
    case mekal_type_set:
    case mekal_type_list:
    case mekal_type_tuple: {
        const int count = mekal_num_subvals(datatype);
        fputc('[', out);
        for (int i = 0; i < count; ++i) {
            mekal_datatype_t *subtype = NULL;
            mekal_value_t subvalue;
            if (i > 0) fputc(',', out);
            if (mekal_get_subval(datatype, value, i, &subtype, &subvalue) == 0)
                put_json_value(out, subtype, &subvalue);
            else
                fputs("null", out);
        }
        fputc(']', out);
        break;
    }
    default:
        fputs("null", out);
        break;
    }
}

static void put_json_type(FILE *out, const char *key, mekal_datatype_t *datatype, int long_form) {
    char *text = datatype ? mekal_type_to_string(datatype, long_form) : NULL;
    fprintf(out, ",\"%s\":", key);
    put_json_text(out, text);
    free(text);
}

/* The observer: one JSON line per recording, control events included. */
static void print_event(const char *name, mekal_category_t category, const char *subcategory,
                        mekal_value_t *value, mekal_datatype_t *datatype, void *opaque) {
    FILE *out = (FILE *)opaque;
    fputs("{\"event\":", out);
    fputs(category == mekal_category_control ? "\"control\"" : "\"value\"", out);
    fputs(",\"name\":", out);
    put_json_text(out, name);
    fprintf(out, ",\"category\":%d,\"subcategory\":", (int)category);
    put_json_text(out, subcategory);
    put_json_type(out, "type", datatype, 0);
    put_json_type(out, "type_long", datatype, 1);
    fputs(",\"value\":", out);
    put_json_value(out, datatype, value);
    fputs("}\n", out);
}

static void count_entry(const char *name, mekal_category_t category, const char *subcategory,
                        mekal_value_t *value, mekal_datatype_t *datatype, void *opaque) {
    (void)name, (void)category, (void)subcategory, (void)value, (void)datatype;
    ++*(int *)opaque;
}

/* Packed values are laid out without padding, element after element. */
struct __attribute__((packed)) job_step {
    int32_t id;
    const char *label;
    double seconds;
};

static void record_application_values(void) {
    mekal_category_t app = mekal_category_general;

    /* Every scalar conversion. */
    mekal_namevalue("ranks_per_node", app, "job", "%d", 48);
    mekal_namevalue("threads", app, "job", "%u", 4u);
    mekal_namevalue("memory_bytes", app, "job", "%ld", 96L * 1024 * 1024 * 1024);
    mekal_namevalue("seed", app, "job", "%lu", 18446744073709551557UL);
    mekal_namevalue("cells", app, "mesh", "%lld", 123456789012LL);
    mekal_namevalue("checksum", app, "mesh", "%llu", 0xfeedfacecafebeefULL);
    mekal_namevalue("tolerance", app, "solver", "%f", 1e-9);
    mekal_namevalue("restart_date", app, "io", "%D", 1767225600L);
    struct timeval setup = {2, 345678};
    mekal_namevalue("setup_time", mekal_category_performance, "timing", "%t", &setup);
    mekal_namevalue("solver_version", app, "solver", "%v", "3.1.4");
    mekal_namevalue("title", app, "run", "%s", "Cavity flow \"Re=1000\"\tline\\2");
    mekal_namevalue("queue", app, "job", "%r", "gpu-large");
    mekal_namevalue("output_dir", app, "io", "%p", "/scratch/run-42/out");
    mekal_namevalue("config", app, "run", "%j", "{\"cfl\": 0.5}");

    /* A reference string: the library stores this pointer; it stays alive. */
    static const char site[] = "site-\xe2\x82\xac-\xff"; /* a euro sign, then a stray byte */
    mekal_namevalue("site", app, "run", "&%s", site);

    /* Containers: a set of paths, a list of 16-bit unsigned ints, a range of
     * doubles, and a tuple holding a tuple. */
    const char *inputs[] = {"mesh.h5", "params.toml", "boundary.csv"};
    mekal_namevalue("inputs", app, "io", "[%p]", inputs, 3);
    const uint16_t ports[] = {8080, 8081, 65535};
    mekal_namevalue("ports", app, "net", "{%u16}", ports, 3);
    const double window[2] = {0.25, 7.5};
    mekal_namevalue("time_window", app, "solver", "<%f>", window);
    struct __attribute__((packed)) {
        struct job_step step;
        int8_t level;
    } nested = {{7, "pressure solve", 12.5}, -3};
    mekal_namevalue("last_step", app, "solver", "((%d,%s,%f),%i8)", &nested, 2, 3);
}

int main(void) {
    mekal_init();
    mekal_walltime();
    mekal_systime();
    mekal_cputime();
    /* report_all: this observer hears events even where reporting is off. */
    mekal_register_cb(1, mekal_category_all, print_event, 1, stdout);

    mekal_collect_all();
    record_application_values();

    mekal_value_t *value = NULL;
    mekal_datatype_t *datatype = NULL;
    int stored = 0;
    mekal_list_namevals(1, mekal_category_all, count_entry, &stored);
    printf("{\"event\":\"summary\",\"stored\":%d,\"lookup\":\"ranks_per_node\",\"value\":", stored);
    if (mekal_get_nameval("ranks_per_node", &datatype, &value, NULL, NULL) == 0)
        put_json_value(stdout, datatype, value);
    else
        fputs("null", stdout);
    fputs("}\n", stdout);

    mekal_fini();
    return mekal_clean();
}
