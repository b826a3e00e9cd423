// garbage_soak.cpp - dedizo against a babbling device, seed after seed.
//
//   garbage_soak FIRST_SEED COUNT
//
// Runs the tool once per seed against qtb-sim --garbage SEED with every check
// of the reliability tests (see reliability_checks.h), prints one line per
// seed and a count of the outcomes, and exits 1 when any run failed a check.
// scripts/soak.sh runs several of these side by side.
#include "reliability_checks.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: garbage_soak FIRST_SEED COUNT\n");
        return 2;
    }
    const unsigned long long first = std::strtoull(argv[1], nullptr, 10);
    const unsigned long long count = std::strtoull(argv[2], nullptr, 10);
    std::map<std::string, long> outcomes;
    long failed = 0;
    long slowest_ms = 0;
    int deepest = 0;
    double most_cpu = 0;
    for (unsigned long long seed = first; seed < first + count; ++seed) {
        GarbageRun run = run_garbage_seed(DEDIZO_PATH, seed);
        if (run.ok) {
            ++outcomes[run.outcome];
            std::printf("seed %llu: %s, %ld ms, %.2f s CPU, channels entered %d\n", seed,
                        run.outcome.c_str(), run.elapsed_ms, run.cpu_seconds, run.channels);
        } else {
            ++failed;
            std::printf("seed %llu: FAILED: %s\n", seed, run.failure.c_str());
        }
        if (run.elapsed_ms > slowest_ms)
            slowest_ms = run.elapsed_ms;
        if (run.channels > deepest)
            deepest = run.channels;
        if (run.cpu_seconds > most_cpu)
            most_cpu = run.cpu_seconds;
        std::fflush(stdout);
    }
    std::printf("summary: seeds %llu..%llu, %llu runs, %ld failed", first, first + count - 1, count,
                failed);
    for (const auto &o : outcomes)
        std::printf(", %s %ld", o.first.c_str(), o.second);
    std::printf("; slowest %ld ms, most CPU %.2f s, channels entered at most %d\n", slowest_ms,
                most_cpu, deepest);
    return failed == 0 ? 0 : 1;
}
