// Constructs a socket engine and reports each pause the engine asks for
// ("sleep <ms>" on standard error) before it is taken, so that a test can
// count the retries of the multicast start. Run inside scripts/netns-run.
#include <dlfcn.h>

#include <cstdio>

#include "CKesSockEngine.h"

// Takes the place of the platform's KesSleep for the engine library; the
// real one (which applies the test time scale) still does the waiting.
void KesSleep(unsigned int milliseconds)
{
    using SleepFunction = void (*)(unsigned int);
    static SleepFunction real = reinterpret_cast<SleepFunction>(dlsym(RTLD_NEXT, "_Z8KesSleepj"));
    fprintf(stderr, "sleep %u\n", milliseconds);
    fflush(stderr);
    if (real != nullptr) real(milliseconds);
}

int main()
{
    CKesSockEngine engine("retry-host", __KES_SERV_TOOL, 1);
    printf("constructed\n");
    return 0;
}
