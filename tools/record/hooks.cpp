// The functions the recorder interposes: the C library's start routine, to
// wrap main, and exit, to learn how the program ends; and mekal_clean, which
// releases every observer, the recorder's own among them. Every other symbol
// of the recorder is hidden.
#include <dlfcn.h>

#include <cstdlib>

#include "recorder.h"

namespace {

using main_function = int (*)(int, char **, char **);
using start_function = int (*)(main_function, int, char **, void (*)(), void (*)(), void (*)(),
                               void *);

main_function g_main = nullptr;
using exit_function = void (*)(int);
exit_function g_exit = nullptr;
using clean_function = int (*)();
clean_function g_clean = nullptr;

int recorded_main(int argc, char **argv, char **envp) {
    // Registered now, this handler runs before the program's static
    // destructors and after the exit handlers that main registers.
    (void)atexit(mekal::record::finish);
    const int status = g_main(argc, argv, envp);
    mekal::record::note_exit_status(status);
    return status;
}

}  // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
extern "C" __attribute__((visibility("default"))) int __libc_start_main(
    main_function main, int argc, char **argv, void (*init)(), void (*fini)(),
    void (*rtld_fini)(), void *stack_end) {
    auto next = reinterpret_cast<start_function>(dlsym(RTLD_NEXT, "__libc_start_main"));
    if (next == nullptr) abort();  // no C library to start the program with
    g_main = main;
    return next(recorded_main, argc, argv, init, fini, rtld_fini, stack_end);
}

extern "C" __attribute__((visibility("default"), noreturn)) void exit(int status) noexcept {
    mekal::record::note_exit_status(status);
    if (g_exit == nullptr) g_exit = reinterpret_cast<exit_function>(dlsym(RTLD_NEXT, "exit"));
    if (g_exit == nullptr) _Exit(status);
    g_exit(status);
    __builtin_unreachable();
}

// The recorder's observer goes with every clean: it is registered again, so
// that it sees the next clean and the program's "fini" too.
extern "C" __attribute__((visibility("default"))) int mekal_clean() {
    if (g_clean == nullptr) g_clean = reinterpret_cast<clean_function>(dlsym(RTLD_NEXT, "mekal_clean"));
    const int result = g_clean != nullptr ? g_clean() : -1;
    mekal::record::observe_again();
    return result;
}
