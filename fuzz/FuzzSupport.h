#pragma once

// Shared by the fuzz targets: the time limit per input, and a failure that names its cause.

#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zel::fuzz {

// libFuzzer's own -timeout counts whole seconds of wall time. An input that costs more than
// 100 ms of this thread's CPU time fails here instead: a super-linear path in a parser shows at
// a few kilobytes already. A busy or virtual machine can still charge a run with time that was
// not its own, so a slow run is repeated, and only an input slow every time fails.
inline double cpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

constexpr double slowInputMs = 100;

template <typename Run> int runTimed(const uint8_t* data, size_t size, Run run)
{
    double fastest = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const double start = cpuMs();
        run(data, size);
        const double spent = cpuMs() - start;
        fastest = attempt == 0 ? spent : std::min(fastest, spent);
        if (fastest <= slowInputMs)
            return 0;
    }
    std::fprintf(stderr, "==fuzz== slow input: %.1f ms of CPU time at best of 3 (limit %.0f ms)\n",
        fastest, slowInputMs);
    std::abort();
}

inline void check(bool condition, const char* what, const QString& detail = QString())
{
    if (condition)
        return;
    std::fprintf(stderr, "==fuzz== %s %s\n", what, qUtf8Printable(detail.left(200)));
    std::abort();
}

} // namespace zel::fuzz

// The entry point of a target whose check of one input is `run(data, size)`.
#define ZEL_FUZZ_TARGET(run)                                                                       \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)                        \
    {                                                                                              \
        return zel::fuzz::runTimed(data, size, run);                                               \
    }
