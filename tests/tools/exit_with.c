/* Ends as argv asks: "exit N" calls exit, "return N" returns it from main,
 * "_exit N" and "_Exit N" end without exit handlers, "thread" ends main
 * with pthread_exit, "kill" sends itself SIGKILL. Also built statically. */
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) return 7;
    if (strcmp(argv[1], "kill") == 0) raise(SIGKILL);
    if (strcmp(argv[1], "thread") == 0) pthread_exit(NULL);
    const int status = argc > 2 ? atoi(argv[2]) : 0;
    if (strcmp(argv[1], "exit") == 0) exit(status);
    if (strcmp(argv[1], "_exit") == 0) _exit(status);
    if (strcmp(argv[1], "_Exit") == 0) _Exit(status);
    return status;
}
