// SPDX-License-Identifier: MIT
// Prints the filter's table as this build has it, a row a line: the call's number, then
// each check's argument, kind and value. tests/trace.sh compares an emulated server's
// calls with it.
#define main sever_main
#include "../src/sever.cpp"
#undef main

#include <stdio.h>

int main()
{
    for (const rule &row : permitted)
        printf("%ld %d %d %u %d %d %u\n", row.call, row.first.arg, row.first.how, row.first.value,
               row.second.arg, row.second.how, row.second.value);
    return 0;
}
