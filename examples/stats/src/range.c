#include "stats.h"

double range(const double* values, size_t count) {
    return maximum(values, count) - minimum(values, count);
}
