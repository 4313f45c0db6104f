// SPDX-License-Identifier: MIT
// The floor under the cost of one connection: how many times per second a process built
// like sever can create a child that exits at once, and learn that it has.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// How long to measure when no number of seconds is given.
constexpr double default_seconds = 2.0;

static double seconds()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int main(int argc, char **argv)
{
    double span = argc > 1 ? strtod(argv[1], nullptr) : default_seconds;
    double start = seconds();
    long forks = 0;
    while (seconds() - start < span) {
        pid_t child = fork();
        if (child == 0)
            _exit(0);
        if (child < 0 || waitpid(child, nullptr, 0) != child) {
            perror("fork");
            return 1;
        }
        ++forks;
    }
    printf("%.0f\n", static_cast<double>(forks) / (seconds() - start));
    return 0;
}
