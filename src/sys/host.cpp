// Host probes: what the machine and its operating system are, read from
// /proc, /sys, the os-release file and a few system calls. Every text goes
// into the caller's buffer, so nothing here allocates except the affinity
// mask, whose size only the kernel knows.
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/char_classes.h"
#include "sys/sys.h"

namespace mekal {
namespace {

constexpr int kLineSize = 1024;
constexpr int kPathSize = 512;
// Far beyond any kernel's CPU limit; ends the growth of the mask.
constexpr size_t kMaxCpus = size_t{1} << 20;

// The keys that name the CPU model, the most telling first: x86 and most
// others, MIPS, 32-bit ARM, POWER.
constexpr const char *kModelKeys[] = {"model name", "cpu model", "Processor", "cpu"};
constexpr int kModelKeyCount = static_cast<int>(sizeof kModelKeys / sizeof kModelKeys[0]);

constexpr const char *kOsReleasePaths[] = {"/etc/os-release", "/usr/lib/os-release"};
constexpr const char *kCacheDir = "/sys/devices/system/cpu/cpu0/cache";
constexpr const char *kGovernorPath = "/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor";

int as_fgets_size(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

// The next line of stream without its line end into buf (size >= 2), the
// part that does not fit dropped. false at the end of the stream.
bool next_line(FILE *stream, char *buf, size_t size) {
    if (std::fgets(buf, as_fgets_size(size), stream) == nullptr) return false;
    const size_t length = std::strlen(buf);
    if (length > 0 && buf[length - 1] == '\n') {
        buf[length - 1] = '\0';
        return true;
    }
    int c = 0;
    while ((c = std::fgetc(stream)) != EOF && c != '\n') {
    }
    return true;
}

void copy_cut(char *buf, size_t size, const char *text) {
    std::strncpy(buf, text, size);
    buf[size - 1] = '\0';
}

// Position of key among the model keys, or kModelKeyCount.
int model_key_rank(const char *key, size_t length) {
    for (int i = 0; i < kModelKeyCount; ++i)
        if (std::strlen(kModelKeys[i]) == length && std::strncmp(kModelKeys[i], key, length) == 0)
            return i;
    return kModelKeyCount;
}

// Shell-style word of an os-release value: double quotes take \" \\ \$ \`
// as escapes, single quotes take everything literally, and an unquoted
// backslash escapes the next character; an unquoted blank ends the value.
void unquote(const char *text, char *buf, size_t size) {
    size_t out = 0;
    char quote = '\0';
    for (const char *p = text; *p != '\0'; ++p) {
        char c = *p;
        if (quote == '\0' && is_space_or_tab(c)) break;
        if (c == quote) {
            quote = '\0';
            continue;
        }
        if (quote == '\0' && (c == '"' || c == '\'')) {
            quote = c;
            continue;
        }
        if (c == '\\' && p[1] != '\0' &&
            (quote == '\0' || (quote == '"' && std::strchr("\"\\$`", p[1]) != nullptr)))
            c = *++p;
        if (out + 1 < size) buf[out++] = c;
    }
    buf[out] = '\0';
}

}  // namespace

bool parse_decimal(const char *text, uint64_t *value_out, const char **end_out) {
    uint64_t value = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(*p - '0'), &value))
            return false;
    }
    *value_out = value;
    *end_out = p;
    return p != text;
}

int read_first_line(const char *path, char *buf, size_t size) {
    if (buf == nullptr || size < 2) return -1;
    FILE *stream = std::fopen(path, "re");
    if (stream == nullptr) return -1;
    const bool read = next_line(stream, buf, size);
    (void)std::fclose(stream);  // opened for reading: nothing to lose
    return read && buf[0] != '\0' ? 0 : -1;
}

int cpuinfo_model(FILE *stream, char *buf, size_t size) {
    if (stream == nullptr || buf == nullptr || size == 0) return -1;
    char line[kLineSize];
    int best = kModelKeyCount;
    while (best > 0 && next_line(stream, line, sizeof line)) {
        const char *colon = std::strchr(line, ':');
        if (colon == nullptr) continue;
        const char *key_end = colon;
        while (key_end > line && is_space_or_tab(key_end[-1])) --key_end;
        const int rank = model_key_rank(line, static_cast<size_t>(key_end - line));
        if (rank >= best) continue;
        best = rank;
        copy_cut(buf, size, colon + 1);
    }
    return best < kModelKeyCount ? 0 : -1;
}

int os_release_value(FILE *stream, const char *key, char *buf, size_t size) {
    if (stream == nullptr || key == nullptr || buf == nullptr || size == 0) return -1;
    const size_t key_length = std::strlen(key);
    char line[kLineSize];
    while (next_line(stream, line, sizeof line)) {
        if (std::strncmp(line, key, key_length) != 0 || line[key_length] != '=') continue;
        unquote(line + key_length + 1, buf, size);
        return 0;
    }
    return -1;
}

int os_release_from(const char *const *paths, int count, const char *key, char *buf,
                    size_t size) {
    for (int i = 0; i < count; ++i) {
        FILE *stream = std::fopen(paths[i], "re");
        if (stream == nullptr) continue;
        const int result = os_release_value(stream, key, buf, size);
        (void)std::fclose(stream);
        return result;
    }
    return -1;
}

int parse_cache_size(const char *text, uint64_t *bytes_out) {
    uint64_t value = 0;
    const char *p = nullptr;
    if (!parse_decimal(text, &value, &p)) return -1;
    int shift = 0;
    switch (*p) {
    case 'K': shift = 10; ++p; break;
    case 'M': shift = 20; ++p; break;
    case 'G': shift = 30; ++p; break;
    default: break;
    }
    if (*p != '\0' || value > (UINT64_MAX >> shift)) return -1;
    *bytes_out = value << shift;
    return 0;
}

int cache_entry(const char *cache_dir, int index, int *level_out, char *type_buf,
                size_t type_size, uint64_t *bytes_out) {
    char path[kPathSize];
    char level_text[32];
    char type_text[64];
    char size_text[32];
    const char *const fields[] = {"level", "type", "size"};
    char *const texts[] = {level_text, type_text, size_text};
    const size_t sizes[] = {sizeof level_text, sizeof type_text, sizeof size_text};
    for (int i = 0; i < 3; ++i) {
        const int written = std::snprintf(path, sizeof path, "%s/index%d/%s", cache_dir, index, fields[i]);
        if (written < 0 || written >= kPathSize) return -1;
        if (read_first_line(path, texts[i], sizes[i]) == -1) return -1;
    }
    uint64_t level = 0;
    uint64_t bytes = 0;
    const char *end = nullptr;
    if (!parse_decimal(level_text, &level, &end) || *end != '\0' || level > INT_MAX) return -1;
    if (parse_cache_size(size_text, &bytes) == -1) return -1;
    *level_out = static_cast<int>(level);
    copy_cut(type_buf, type_size, type_text);
    *bytes_out = bytes;
    return 0;
}

int count_allowed_cpus(affinity_query query) {
    for (size_t cpus = 1024; cpus <= kMaxCpus; cpus *= 2) {
        const size_t bytes = CPU_ALLOC_SIZE(cpus);
        auto *mask = static_cast<cpu_set_t *>(std::calloc(1, bytes));
        if (mask == nullptr) return -1;
        errno = 0;
        if (query(0, bytes, mask) == 0) {
            const int count = CPU_COUNT_S(bytes, mask);
            std::free(mask);
            return count;
        }
        // EINVAL: the kernel's mask is larger than this one.
        const bool too_small = errno == EINVAL;
        std::free(mask);
        if (!too_small) return -1;
    }
    return -1;
}

}  // namespace mekal

extern "C" MEKAL_API int melsys_cpu_model(char *buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    FILE *stream = std::fopen("/proc/cpuinfo", "re");
    if (stream == nullptr) return -1;
    const int result = mekal::cpuinfo_model(stream, buf, size);
    (void)std::fclose(stream);
    return result;
}

extern "C" MEKAL_API int melsys_cpus_online(void) {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count < 1 || count > INT_MAX ? -1 : static_cast<int>(count);
}

extern "C" MEKAL_API int melsys_cpus_allowed(void) {
    return mekal::count_allowed_cpus(sched_getaffinity);
}

extern "C" MEKAL_API int melsys_cpu_cache(int index, int *level_out, char *type_buf,
                                          size_t type_size, uint64_t *bytes_out) {
    if (index < 0 || level_out == nullptr || type_buf == nullptr || type_size == 0 ||
        bytes_out == nullptr)
        return -1;
    return mekal::cache_entry(mekal::kCacheDir, index, level_out, type_buf, type_size, bytes_out);
}

extern "C" MEKAL_API int melsys_cpu_governor(char *buf, size_t size) {
    return mekal::read_first_line(mekal::kGovernorPath, buf, size);
}

extern "C" MEKAL_API int melsys_loadavg(double loads[3]) {
    if (loads == nullptr) return -1;
    return getloadavg(loads, 3) == 3 ? 0 : -1;
}

extern "C" MEKAL_API int melsys_memory_total(uint64_t *bytes_out) {
    struct sysinfo info{};
    if (bytes_out == nullptr || sysinfo(&info) != 0) return -1;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(info.totalram), info.mem_unit, &bytes))
        return -1;
    *bytes_out = bytes;
    return 0;
}

extern "C" MEKAL_API int melsys_os_release(const char *key, char *buf, size_t size) {
    return mekal::os_release_from(mekal::kOsReleasePaths, 2, key, buf, size);
}

extern "C" MEKAL_API int melsys_uname(char *release, size_t release_size, char *machine,
                                      size_t machine_size) {
    if ((release != nullptr && release_size == 0) || (machine != nullptr && machine_size == 0))
        return -1;
    struct utsname names{};
    if (uname(&names) != 0) return -1;
    if (release != nullptr) mekal::copy_cut(release, release_size, names.release);
    if (machine != nullptr) mekal::copy_cut(machine, machine_size, names.machine);
    return 0;
}

extern "C" MEKAL_API long melsys_page_size(void) {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? size : -1;
}
