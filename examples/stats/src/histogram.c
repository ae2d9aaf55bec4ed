#include "stats.h"

#include <stdio.h>

void print_histogram(const double* values, size_t count, int buckets) {
    double low = minimum(values, count);
    double width = range(values, count) / buckets;
    for (int b = 0; b < buckets; ++b) {
        size_t n = 0;
        for (size_t i = 0; i < count; ++i) {
            int at = width > 0 ? (int)((values[i] - low) / width) : 0;
            n += (at >= buckets ? buckets - 1 : at) == b;
        }
        printf("%10.3f | ", low + b * width);
        for (size_t i = 0; i < n; ++i) {
            putchar('#');
        }
        putchar('\n');
    }
}
