// Identity probes: the real user's names from the password database and the
// host name.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "sys/sys.h"

namespace mekal {

int copy_user_names(const struct passwd *entry, char **gecos_out, char **login_out) {
    if (entry == nullptr) return -1;
    // Some databases leave a field null; it is taken as empty.
    const char *login_name = entry->pw_name != nullptr ? entry->pw_name : "";
    const char *gecos = entry->pw_gecos != nullptr ? entry->pw_gecos : "";

    char *login_copy = nullptr;
    if (login_out != nullptr) {
        login_copy = strdup(login_name);
        if (login_copy == nullptr) return -1;
        char *comma = std::strchr(login_copy, ',');
        if (comma != nullptr) *comma = '\0';
    }
    char *gecos_copy = nullptr;
    if (gecos_out != nullptr) {
        gecos_copy = strdup(gecos);  // whole: the field's commas are its own
        if (gecos_copy == nullptr) {
            std::free(login_copy);
            return -1;
        }
    }
    // Written only now, so a failure leaves both outputs as they were.
    if (login_out != nullptr) *login_out = login_copy;
    if (gecos_out != nullptr) *gecos_out = gecos_copy;
    // gecos_copy exists only when gecos_out does, and went out through it.
    // cppcheck-suppress memleak
    return 0;
}

}  // namespace mekal

extern "C" MEKAL_API int melsys_get_names(char **gecos_out, char **login_out) {
    return mekal::copy_user_names(getpwuid(getuid()), gecos_out, login_out);
}

extern "C" MEKAL_API int melsys_hostname(char *buf, int size) {
    if (buf == nullptr || size < 1) return -1;
    if (gethostname(buf, static_cast<size_t>(size)) == -1) return -1;
    buf[size - 1] = '\0';  // gethostname need not terminate a name that fills buf
    return 0;
}
