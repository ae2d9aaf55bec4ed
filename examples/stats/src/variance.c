#include "stats.h"

double variance(const double* values, size_t count) {
    if (count < 2) {
        return 0;
    }
    double m = mean(values, count);
    double total = 0;
    for (size_t i = 0; i < count; ++i) {
        total += (values[i] - m) * (values[i] - m);
    }
    return total / (double)(count - 1);
}
