#include "stats.h"

double mean(const double* values, size_t count) {
    return count == 0 ? 0 : sum(values, count) / (double)count;
}
