// The entry point: the command-line dispatcher and the console run.
#include "host.h"

#include <stdio.h>

namespace {

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether the argument is "-x" or "/x" for the option letter x, in either case.
bool isOption(const char *argument, char letter) {
    return (argument[0] == '-' || argument[0] == '/') && lowerAscii(argument[1]) == letter &&
           argument[2] == '\0';
}

} // namespace

void runConsole(int argc, char **argv) {
    printf("Running %s.\n", serviceDisplayName);
    fflush(stdout);
    runHost(static_cast<unsigned>(argc - 2), argv + 2);
}

int hostMain(int argc, char **argv) {
    if (argc < 2) {
        runService();
    } else if (isOption(argv[1], 'i')) {
        installService(argc, argv);
    } else if (isOption(argv[1], 'r')) {
        removeService();
    } else if (isOption(argv[1], 'c')) {
        consoleMode = 1;
        runConsole(argc, argv);
    } else {
        printf("\nUnrecognized option: %s\n", argv[1]);
    }
    fflush(stdout);
    return 0;
}
