// gc_helper.cpp - runs one garbage collection on a storage root and prints its report (for shell tests).
// Usage: gc_helper ROOT   (settings are read from config.json in the working directory)
#include <stdio.h>

#include "storage/reg_storage.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: gc_helper ROOT\n", stderr);
        return 2;
    }
    if (reg_storage_init(argv[1]) != 0) {
        fprintf(stderr, "cannot start the engine: %s\n", reg_storage_last_error());
        return 1;
    }
    const char *report = reg_gc_json(0);
    if (!report) {
        fprintf(stderr, "collection refused: %s\n", reg_storage_last_error());
        return 1;
    }
    puts(report);
    reg_storage_cleanup();
    return 0;
}
