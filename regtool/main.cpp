// The entry point of Tarnwick.
#include "tarnwick.h"

int main(int argc, char **argv) {
    return runTarnwick(argc, argv);
}
