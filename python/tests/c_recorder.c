/* A C library that records beside the Python package, as a solver loaded
 * with ctypes would: its values land in the same registry. */
#include <mekal.h>

int record_from_c(int iterations) {
    const char *inputs[] = {"mesh.h5", "params.toml"};
    if (mekal_namevalue("c_iterations", mekal_category_general, "solver", "%d", iterations) != 0)
        return -1;
    return mekal_namevalue("c_inputs", mekal_category_general, "io", "[%p]", inputs, 2);
}
