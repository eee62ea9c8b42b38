/* The C side of bench/python_record.py: the recordings that the script
 * makes from Python, made from C in a loop in the same process. */
#include <stddef.h>
#include <time.h>

#include "mekal.h"

/* Nanoseconds per recording, over count recordings of one name: kind 0 an
 * int ("%ld"), 1 a double, 2 a text, 3 a list of 10 doubles. */
double record_loop_ns(int kind, long count) {
    static const double list[10] = {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5};
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < count; ++i) {
        switch (kind) {
        case 0: mekal_namevalue("x", mekal_category_general, NULL, "%ld", 12345L); break;
        case 1: mekal_namevalue("x", mekal_category_general, NULL, "%f", 1.5); break;
        case 2: mekal_namevalue("x", mekal_category_general, NULL, "%s", "a text of 20 bytes!"); break;
        default: mekal_namevalue("x", mekal_category_general, NULL, "{%f}", list, 10); break;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    return ((double)(end.tv_sec - start.tv_sec) * 1e9 + (double)(end.tv_nsec - start.tv_nsec)) /
           (double)count;
}
