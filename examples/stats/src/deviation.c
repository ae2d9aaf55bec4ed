#include "stats.h"

#include <math.h>

double deviation(const double* values, size_t count) {
    return sqrt(variance(values, count));
}
