#include "stats.h"

#include <stdio.h>

void print_line(const char* name, double value) {
    printf("%-10s %12.4f\n", name, value);
}
