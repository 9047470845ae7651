// Preloaded (LD_PRELOAD) into a process under test, it stops the clocks
// that timers run on: every reading gives the first one again. A process
// that waits for a timer to notice that its work is over then waits for
// ever; one that ends when its work does is not held up.

#include <ctime>
#include <dlfcn.h>

extern "C" int clock_gettime(clockid_t clock, struct timespec *at) noexcept
{
    using Real = int (*)(clockid_t, struct timespec *);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "clock_gettime"));
    if (clock != CLOCK_MONOTONIC && clock != CLOCK_MONOTONIC_COARSE && clock != CLOCK_MONOTONIC_RAW
        && clock != CLOCK_BOOTTIME)
        return real(clock, at);
    static const struct timespec first = [] {
        struct timespec now {};
        real(CLOCK_MONOTONIC, &now);
        return now;
    }();
    *at = first;
    return 0;
}
