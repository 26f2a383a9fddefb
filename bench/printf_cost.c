/* Formats COUNT temperatures with printf("%.2f") to standard output: the
   reference cost for the tool's own work per entry. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    long count = argc > 1 ? atol(argv[1]) : 1;
    for (long i = 0; i < count; ++i) {
        printf("%.2f", 25.0 + (double)(i % 3500) / 100.0);
    }
    return 0;
}
