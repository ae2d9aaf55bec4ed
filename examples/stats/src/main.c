#include "stats.h"

#include <stdio.h>

int main(int argc, char** argv) {
    double values[1024];
    size_t count = 0;
    if (parse_numbers(argc - 1, argv + 1, values, 1024, &count) != 0 || count == 0) {
        fprintf(stderr, "usage: stats <number>...\n");
        return 2;
    }
    print_line("count", (double)count);
    print_line("sum", sum(values, count));
    print_line("mean", mean(values, count));
    print_line("minimum", minimum(values, count));
    print_line("maximum", maximum(values, count));
    print_line("range", range(values, count));
    print_line("variance", variance(values, count));
    print_line("deviation", deviation(values, count));
    print_line("median", median(values, count));
    print_histogram(values, count, 4);
    return 0;
}
