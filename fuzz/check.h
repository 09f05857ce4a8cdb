// A failed invariant in a fuzz target: said on stderr, then abort(), which libFuzzer records as
// a crash together with the input that led to it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition);      \
            abort();                                                                               \
        }                                                                                          \
    } while (0)
