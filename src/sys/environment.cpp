// Environment probe: the process's own variables, for the collectors that
// record a batch job and the variables a caller asks for. Nothing else in
// the library reads the environment.
#include <unistd.h>

#include "sys/sys.h"

extern "C" MEKAL_API const char *const *melsys_get_environment(void) {
    return environ;
}
