/* Ends with the status given: "exit N" calls exit, "return N" returns it
 * from main, "kill" sends itself SIGKILL. Also built statically. */
#include <signal.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc < 2) return 7;
    if (strcmp(argv[1], "kill") == 0) raise(SIGKILL);
    const int status = argc > 2 ? atoi(argv[2]) : 0;
    if (strcmp(argv[1], "exit") == 0) exit(status);
    return status;
}
