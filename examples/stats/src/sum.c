#include "stats.h"

double sum(const double* values, size_t count) {
    double total = 0;
    for (size_t i = 0; i < count; ++i) {
        total += values[i];
    }
    return total;
}
