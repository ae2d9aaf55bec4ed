#include "stats.h"

#include <stdlib.h>

static int compare(const void* a, const void* b) {
    double x = *(const double*)a;
    double y = *(const double*)b;
    return (x > y) - (x < y);
}

void sort_values(double* values, size_t count) {
    qsort(values, count, sizeof *values, compare);
}
