#include "stats.h"

#include <errno.h>
#include <stdlib.h>

int parse_numbers(int argc, char** argv, double* values, size_t capacity, size_t* count) {
    *count = 0;
    for (int i = 0; i < argc; ++i) {
        char* end = NULL;
        errno = 0;
        double v = strtod(argv[i], &end);
        if (errno != 0 || end == argv[i] || *end != '\0' || *count == capacity) {
            return -1;
        }
        values[(*count)++] = v;
    }
    return 0;
}
