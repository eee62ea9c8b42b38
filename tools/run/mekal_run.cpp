// mekal-run: runs a program with the recorder preloaded, so that a record of
// its run is written. mekal-run replaces itself with the program, so the
// program keeps mekal-run's process, parent, signals and exit status: a
// shell reports 128+N when signal N ended it, and a launcher such as mpirun
// sees the program itself. Nothing of C++'s library is used: the command
// starts as fast as a C program.
#include <elf.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output_path.h"
#include "run_settings.h"

extern char **environ;

namespace {

constexpr char kUsage[] =
    "usage: mekal-run [-o PATH] [--follow] [--env PREFIX]... [--] PROGRAM [ARGS...]\n"
    "\n"
    "Runs PROGRAM with the mekal recorder preloaded and writes a JSON record of\n"
    "its run; the exit status is PROGRAM's own.\n"
    "\n"
    "  -o, --output PATH  where to write the record; %p is the process id, %h the\n"
    "                     host, %e the executable's name, %% a '%'\n"
    "                     (default: mekal-%e-%h-%p.json in the working directory)\n"
    "      --follow       also record every program that PROGRAM executes, each\n"
    "                     into its own record (PATH must then hold %p)\n"
    "      --env PREFIX   record the environment variables whose names start\n"
    "                     with PREFIX (repeatable; none by default)\n"
    "  -h, --help         show this help and exit\n"
    "      --version      show the version and exit\n";

using mekal::record::kDefaultPattern;
using mekal::record::kMaxPrefixes;

// What execv does with a file that is no program it knows: the shell runs it.
constexpr char kShell[] = "/bin/sh";

struct options {
    const char *output = kDefaultPattern;
    bool follow = false;
    const char *prefixes[kMaxPrefixes] = {};
    int prefix_count = 0;
    int program = -1;  // index into argv
};

[[noreturn]] void usage_error(const char *message, const char *detail = "") {
    (void)std::fprintf(stderr, "mekal-run: %s%s\n%s", message, detail, kUsage);
    std::exit(2);
}

options parse(int argc, char **argv) {
    enum { kFollow = 1, kEnv, kVersion };
    static const option kLong[] = {{"output", required_argument, nullptr, 'o'},
                                   {"follow", no_argument, nullptr, kFollow},
                                   {"env", required_argument, nullptr, kEnv},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, kVersion},
                                   {nullptr, 0, nullptr, 0}};
    options out;
    opterr = 0;  // the messages below say more, with the usage
    // '+': the options end at the program, whose own options are its own.
    for (int c; (c = getopt_long(argc, argv, "+:o:h", kLong, nullptr)) != -1;) {
        switch (c) {
        case 'o': out.output = optarg; break;
        case kFollow: out.follow = true; break;
        case kEnv:
            if (*optarg == '\0' || std::strpbrk(optarg, ":=") != nullptr)
                usage_error("--env takes a non-empty prefix without ':' or '=': ", optarg);
            if (out.prefix_count == kMaxPrefixes) usage_error("too many --env prefixes");
            out.prefixes[out.prefix_count++] = optarg;
            break;
        case 'h':
            (void)std::fputs(kUsage, stdout);
            std::exit(0);
        case kVersion:
            (void)std::printf("mekal-run %s\n", MEKAL_RUN_VERSION);
            std::exit(0);
        case ':': usage_error("missing value for ", argv[optind - 1]);
        default: usage_error("unknown option ", argv[optind - 1]);
        }
    }
    if (optind >= argc) usage_error("no program to run");
    out.program = optind;
    if (const char *why = mekal::record::pattern_error(out.output)) {
        (void)std::fprintf(stderr, "mekal-run: bad output path '%s': %s\n", out.output, why);
        std::exit(2);
    }
    if (out.follow && !mekal::record::holds_pid(out.output))
        usage_error("--follow needs %p in the output path, so that each program writes its own record");
    return out;
}

// The program's file as execvp would find it into path; false when there is
// none, with errno saying why.
bool find_program(const char *name, char *path, size_t size) {
    if (std::strchr(name, '/') != nullptr) {
        if (std::snprintf(path, size, "%s", name) >= static_cast<int>(size)) {
            errno = ENAMETOOLONG;
            return false;
        }
        return access(path, X_OK) == 0;
    }
    const char *list = std::getenv("PATH");
    if (list == nullptr) list = "/usr/local/bin:/usr/bin:/bin";
    int error = ENOENT;
    for (const char *dir = list;;) {
        const size_t length = std::strcspn(dir, ":");
        const int n = length == 0 ? std::snprintf(path, size, "%s", name)
                                  : std::snprintf(path, size, "%.*s/%s", static_cast<int>(length), dir, name);
        struct stat st{};
        if (n > 0 && static_cast<size_t>(n) < size && stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
            if (access(path, X_OK) == 0) return true;
            error = EACCES;
        }
        if (dir[length] == '\0') break;
        dir += length + 1;
    }
    errno = error;
    return false;
}

// Why the dynamic linker would not preload the recorder into the program
// that runs when file is executed, or null. A script runs its interpreter
// (the one after "#!", or the shell for a script without), which is checked
// in its place, through as many levels as the kernel follows.
const char *cannot_preload(const char *file) {
    static char interpreter[PATH_MAX];
    for (int level = 0; level < 5; ++level) {
        struct stat st{};
        if (stat(file, &st) != 0) return nullptr;
        if ((st.st_mode & (S_ISUID | S_ISGID)) != 0)
            return "it is set-user-ID or set-group-ID, and the dynamic linker does not preload into it";
        const int fd = open(file, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        union {
            Elf64_Ehdr elf;
            char text[PATH_MAX + 2];
        } head{};
        const ssize_t got = pread(fd, &head, sizeof head - 1, 0);
        const char *reason = nullptr;
        const char *next = nullptr;
        if (got >= static_cast<ssize_t>(sizeof head.elf) &&
            std::memcmp(head.elf.e_ident, ELFMAG, SELFMAG) == 0) {
            bool dynamic = false;
            if (head.elf.e_ident[EI_CLASS] == ELFCLASS64 && head.elf.e_phentsize == sizeof(Elf64_Phdr)) {
                const Elf64_Ehdr elf = head.elf;
                for (int i = 0; i < elf.e_phnum && !dynamic; ++i) {
                    Elf64_Phdr segment{};
                    const off_t at = static_cast<off_t>(elf.e_phoff) + static_cast<off_t>(i) * elf.e_phentsize;
                    if (pread(fd, &segment, sizeof segment, at) != static_cast<ssize_t>(sizeof segment)) break;
                    dynamic = segment.p_type == PT_INTERP;
                }
                if (!dynamic) reason = "it is statically linked, so nothing can be preloaded into it";
            }
        } else if (got >= 2 && head.text[0] == '#' && head.text[1] == '!') {
            head.text[got] = '\0';
            const char *start = head.text + 2 + std::strspn(head.text + 2, " \t");
            const size_t length = std::strcspn(start, " \t\n");
            if (length > 0 && length < sizeof interpreter) {
                std::memcpy(interpreter, start, length);
                interpreter[length] = '\0';
                next = interpreter;
            }
        } else if (got >= 0) {
            next = kShell;
        }
        close(fd);
        if (reason != nullptr || next == nullptr) return reason;
        file = next;
    }
    return nullptr;
}

// The recorder next to this command: in the build tree and in an installed
// tree it lies at the same place relative to mekal-run.
bool recorder_path(char *path, size_t size) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    self[n] = '\0';
    *std::strrchr(self, '/') = '\0';
    char joined[PATH_MAX];
    const int written = std::snprintf(joined, sizeof joined, "%s/%s", self, MEKAL_RECORDER_RELATIVE_PATH);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof joined) return false;
    // Resolved, so that the program's list of loaded objects names it plainly.
    char resolved[PATH_MAX];
    if (realpath(joined, resolved) == nullptr || std::strlen(resolved) >= size) {
        (void)std::snprintf(path, size, "%s", joined);
        return false;
    }
    std::memcpy(path, resolved, std::strlen(resolved) + 1);
    return access(path, R_OK) == 0;
}

// A block of size bytes: without one, mekal-run gives up.
char *allocate(size_t size) {
    auto *block = static_cast<char *>(std::malloc(size));
    if (block == nullptr) {
        (void)std::fputs("mekal-run: out of memory\n", stderr);
        std::exit(125);
    }
    return block;
}

// Sets variable name to the parts joined.
void set(const char *name, const char *a, const char *b = "", const char *c = "") {
    const size_t size = std::strlen(a) + std::strlen(b) + std::strlen(c) + 1;
    char *value = allocate(size);
    (void)std::snprintf(value, size, "%s%s%s", a, b, c);
    if (setenv(name, value, 1) != 0) {
        (void)std::fputs("mekal-run: out of memory\n", stderr);
        std::exit(125);
    }
    std::free(value);
}

// text with each '%' doubled, so that the recorder's expansion gives it back.
char *literal(const char *text) {
    size_t size = 1;
    for (const char *p = text; *p != '\0'; ++p) size += *p == '%' ? 2 : 1;
    char *out = allocate(size);
    char *q = out;
    for (const char *p = text; *p != '\0'; ++p) {
        *q++ = *p;
        if (*p == '%') *q++ = '%';
    }
    *q = '\0';
    return out;
}

// The prefixes joined with ':', in a new block.
char *joined(const char *const *prefixes, int count) {
    size_t size = 1;
    for (int i = 0; i < count; ++i) size += std::strlen(prefixes[i]) + 1;
    char *out = allocate(size);
    char *q = out;
    for (int i = 0; i < count; ++i) {
        if (i > 0) *q++ = ':';
        const size_t length = std::strlen(prefixes[i]);
        std::memcpy(q, prefixes[i], length);
        q += length;
    }
    *q = '\0';
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    const options opts = parse(argc, argv);
    const char *name = argv[opts.program];
    static char file[PATH_MAX];
    if (!find_program(name, file, sizeof file)) {
        const int error = errno;
        (void)std::fprintf(stderr, "mekal-run: %s: %s\n", name,
                     error == ENOENT ? "command not found" : std::strerror(error));
        return error == ENOENT ? 127 : 126;
    }

    if (const char *reason = cannot_preload(file)) {
        (void)std::fprintf(stderr, "mekal-run: %s: no record: %s; running it unrecorded\n", name, reason);
    } else {
        static char recorder[PATH_MAX];
        if (!recorder_path(recorder, sizeof recorder)) {
            (void)std::fprintf(stderr, "mekal-run: cannot find the recorder %s\n", recorder);
            return 125;
        }
        // After what is preloaded already: a sanitizer runtime must stay first.
        const char *preload = std::getenv("LD_PRELOAD");
        if (preload != nullptr && *preload != '\0') set("LD_PRELOAD", preload, ":", recorder);
        else set("LD_PRELOAD", recorder);
        // The program may change directory before it exits. getcwd with no
        // buffer of ours names a directory of any length.
        char *cwd = opts.output[0] != '/' ? getcwd(nullptr, 0) : nullptr;
        if (cwd != nullptr) {
            char *directory = literal(cwd);
            set(mekal::record::kOutputVariable, directory, "/", opts.output);
            std::free(directory);
            std::free(cwd);
        } else {
            set(mekal::record::kOutputVariable, opts.output);
        }
        if (opts.follow) set(mekal::record::kFollowVariable, "1");
        else unsetenv(mekal::record::kFollowVariable);
        if (opts.prefix_count > 0) {
            char *list = joined(opts.prefixes, opts.prefix_count);
            set(mekal::record::kEnvVariable, list);
            std::free(list);
        } else {
            unsetenv(mekal::record::kEnvVariable);
        }
    }

    execv(file, argv + opts.program);
    int error = errno;
    if (error == ENOEXEC) {
        // A script without "#!": run by the shell, as the shell runs it.
        const int count = argc - opts.program;
        auto **shell_argv = reinterpret_cast<char **>(allocate((static_cast<size_t>(count) + 2) * sizeof(char *)));
        shell_argv[0] = const_cast<char *>(kShell);
        shell_argv[1] = file;
        for (int i = 1; i <= count; ++i) shell_argv[i + 1] = argv[opts.program + i];
        execv(kShell, shell_argv);
        error = errno;
        std::free(shell_argv);
    }
    (void)std::fprintf(stderr, "mekal-run: %s: %s\n", name, std::strerror(error));
    return error == ENOENT ? 127 : 126;
}
