// The trace level, traces, threads and time of the portability layer.
#include "KesPort.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "KesCheck.h"

namespace {

// Parses a whole decimal integer (blanks around it allowed); false for
// anything else, including values outside int.
bool ParseInt(const char* text, int* value)
{
    if (!text) return false;
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0') return false;
    *value = static_cast<int>(parsed);
    return true;
}

int InitialDebugLevel()
{
    int level = 0;
    return ParseInt(std::getenv("KSX_DEBUG_LEVEL"), &level) ? level : 0;
}

bool UsableScale(double factor) { return std::isfinite(factor) && factor > 0.0; }

double InitialTimeScale()
{
    const char* text = std::getenv("KSX_TIME_SCALE");
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    double factor = std::strtod(text, &end);
    if (end == text || *end != '\0' || !UsableScale(factor)) return 1.0;
    return factor;
}

std::atomic<double> g_TimeScale{InitialTimeScale()};

// Carries a KesPThreadProc and its argument onto the new thread.
struct ThreadStart {
    KesPThreadProc procedure;
    void* argument;
};

void* ThreadTrampoline(void* raw)
{
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.procedure(start.argument);
    return nullptr;
}

} // namespace

// Declared extern "C" in KesPort.h, so the definition keeps C linkage.
int __Kesworks_Debug_Level = InitialDebugLevel();

void KesTrace(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

// ---- threads -------------------------------------------------------------

int KesPThreadCreate(TKesPThread* thread, KesPThreadProc procedure, void* argument)
{
    if (!thread || !procedure) return EINVAL;
    auto* start = new (std::nothrow) ThreadStart{procedure, argument};
    if (!start) return ENOMEM;
    int result = pthread_create(thread, nullptr, ThreadTrampoline, start);
    if (result != 0) delete start;
    return result;
}

int KesPThreadJoin(TKesPThread* thread)
{
    if (!thread) return EINVAL;
    return pthread_join(*thread, nullptr);
}

// ---- time ----------------------------------------------------------------

double KesTimeScale() { return g_TimeScale.load(std::memory_order_relaxed); }

void KesSetTimeScale(double factor)
{
    // A zero, negative or infinite factor would make every delay vanish or
    // never end; such a value is ignored and the current factor kept.
    if (!UsableScale(factor)) return;
    g_TimeScale.store(factor, std::memory_order_relaxed);
}

void KesSleep(unsigned int milliseconds)
{
    const double nanoseconds = static_cast<double>(milliseconds) * 1e6 * KesTimeScale();
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long whole = static_cast<long long>(nanoseconds);
    deadline.tv_sec += static_cast<time_t>(whole / 1000000000LL);
    deadline.tv_nsec += static_cast<long>(whole % 1000000000LL);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // An absolute deadline on the monotonic clock: signals and clock changes
    // can neither shorten nor stretch the sleep.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {}
}

#ifdef KSX_CHECKS
void KesCheckFailed(const char* rule, const char* file, int line)
{
    char text[512];
    int n = snprintf(text, sizeof text, "KSX-CHECK %s:%d: %s\n", file, line, rule);
    if (n > 0) (void)!write(2, text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
    abort();
}
#endif
