/* A tiny statistics tool: the functions of each source file. */
#ifndef STATS_H
#define STATS_H

#include <stddef.h>

int parse_numbers(int argc, char** argv, double* values, size_t capacity, size_t* count);
double sum(const double* values, size_t count);
double mean(const double* values, size_t count);
void sort_values(double* values, size_t count);
double median(double* values, size_t count);
double minimum(const double* values, size_t count);
double maximum(const double* values, size_t count);
double range(const double* values, size_t count);
double variance(const double* values, size_t count);
double deviation(const double* values, size_t count);
void print_histogram(const double* values, size_t count, int buckets);
void print_line(const char* name, double value);

#endif
