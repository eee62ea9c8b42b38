// Files written whole or not at all.
#include "atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mekal::record {
namespace {

// The directory of a path of any length: opened whole when the system takes
// it in one piece, else a component at a time.
int open_directory(const char *path, size_t length) {
    constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    if (length == 0) return open("/", kFlags);
    char *copy = strndup(path, length);
    if (copy == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    int fd = length < PATH_MAX ? open(copy, kFlags) : -1;
    if (length >= PATH_MAX) {
        fd = open(copy[0] == '/' ? "/" : ".", kFlags);
        for (char *save = nullptr, *part = strtok_r(copy, "/", &save); part != nullptr && fd >= 0;
             part = strtok_r(nullptr, "/", &save)) {
            const int next = openat(fd, part, kFlags);
            const int error = errno;
            close(fd);
            errno = error;
            fd = next;
        }
    }
    const int error = errno;
    std::free(copy);
    errno = error;
    return fd;
}

// A fresh temporary file in the directory: a short name of its own, so
// that a record's name of any allowed length still has room.
int open_temporary(int directory, char *name, size_t size) {
    struct timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long seed = static_cast<unsigned long long>(now.tv_nsec) ^
                              (static_cast<unsigned long long>(getpid()) << 32);
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        (void)std::snprintf(name, size, ".mekal-%08llx.tmp", seed >> 32);
        const int fd = openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

int write_atomically(const char *path, const char *text, size_t length, mode_t mode) {
    const char *slash = std::strrchr(path, '/');
    const char *base = slash != nullptr ? slash + 1 : path;
    const int directory = slash != nullptr ? open_directory(path, static_cast<size_t>(slash - path))
                                           : open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return errno;
    char temporary[32];
    const int fd = open_temporary(directory, temporary, sizeof temporary);
    int error = fd < 0 ? errno : 0;
    for (size_t done = 0; done < length && error == 0;) {
        const ssize_t n = write(fd, text + done, length - done);
        if (n > 0) done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR) error = errno;
        else if (n == 0) error = EIO;
    }
    if (fd >= 0) {
        if (error == 0 && fchmod(fd, mode) != 0) error = errno;
        if (close(fd) != 0 && error == 0) error = errno;
        if (error == 0 && renameat(directory, temporary, directory, base) != 0) error = errno;
        if (error != 0) (void)unlinkat(directory, temporary, 0);
    }
    close(directory);
    return error;
}

}  // namespace mekal::record
