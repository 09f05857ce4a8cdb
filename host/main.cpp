#include "host.h"

#include <stdio.h>

int main(int argc, char **argv) {
    int status = hostMain(argc, argv);
    // The launcher thread may still be inside the Java program: end the process at once rather
    // than run the C runtime's exit handlers beside it.
    fflush(nullptr);
    ExitProcess(static_cast<UINT>(status));
}
