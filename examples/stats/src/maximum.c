#include "stats.h"

double maximum(const double* values, size_t count) {
    double m = count ? values[0] : 0;
    for (size_t i = 1; i < count; ++i) {
        m = values[i] > m ? values[i] : m;
    }
    return m;
}
