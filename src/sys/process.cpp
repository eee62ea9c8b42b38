// Process probes: the executable's resolved path, the raw command line and
// the working directory.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "sys/sys.h"

namespace mekal {

int copy_resolved_path(const char *path, char *buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    char *resolved = realpath(path, nullptr);
    if (resolved == nullptr) return -1;
    std::strncpy(buf, resolved, size);
    buf[size - 1] = '\0';  // a path of size bytes or more is cut here
    std::free(resolved);
    return 0;
}

int read_whole_stream(FILE *stream, char **buf_out, int *len_out) {
    if (stream == nullptr) return -1;

    // /proc files report no size, so the length comes from reading them once.
    // A read error ends the count too: an erroring stream never reaches EOF.
    size_t length = 0;
    while (!std::feof(stream)) {
        if (std::fgetc(stream) == EOF) break;
        ++length;
    }
    if (length > static_cast<size_t>(INT_MAX)) {
        (void)std::fclose(stream);
        return -1;
    }

    auto *buffer = static_cast<char *>(std::calloc(1, length + 1));
    if (buffer == nullptr) {
        (void)std::fclose(stream);
        return -1;
    }
    (void)std::fseek(stream, 0, SEEK_SET);  // a failed rewind shows up as a failed read

    size_t got = 0;
    for (;;) {
        // Cleared first so that a stale EINTR cannot turn a dead stream into
        // an endless retry.
        errno = 0;
        const size_t n = std::fread(buffer + got, 1, length - got, stream);
        if (n > 0) {
            got += n;
            if (got >= length) break;
            continue;
        }
        if (errno == EINTR) {
            if (got >= length) break;
            continue;
        }
        if (std::feof(stream)) break;  // shrank since the count: the rest stays zero
        (void)std::fclose(stream);
        std::free(buffer);
        return -1;
    }
    // Nothing was written through the stream: a failed close loses nothing.
    (void)std::fclose(stream);
    *buf_out = buffer;
    *len_out = static_cast<int>(length);
    return 0;
}

}  // namespace mekal

extern "C" MEKAL_API int melsys_get_executable(char *buf, size_t size) {
    return mekal::copy_resolved_path("/proc/self/exe", buf, size);
}

extern "C" MEKAL_API int melsys_get_cmdline_buffer(char **buf_out, int *len_out) {
    if (buf_out == nullptr || len_out == nullptr) return -1;
    return mekal::read_whole_stream(std::fopen("/proc/self/cmdline", "re"), buf_out, len_out);
}

extern "C" MEKAL_API int melsys_get_cwd(char *buf, size_t size) {
    // getcwd would allocate a buffer of its own for a null one.
    if (buf == nullptr) return -1;
    return getcwd(buf, size) == nullptr ? -1 : 0;
}
