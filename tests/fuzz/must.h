// The fuzz targets' own check: a broken rule is reported with its text and the
// run stops, so that libFuzzer keeps the input that broke it.
#pragma once
#include <cstdio>
#include <cstdlib>

#define MUST(cond)                                                                  \
    do {                                                                            \
        if (!(cond)) {                                                              \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                           \
        }                                                                           \
    } while (0)
