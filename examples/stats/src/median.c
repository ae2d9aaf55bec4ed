#include "stats.h"

double median(double* values, size_t count) {
    if (count == 0) {
        return 0;
    }
    sort_values(values, count);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}
