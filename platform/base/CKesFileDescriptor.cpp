#include "CKesFileDescriptor.h"

#include <cerrno>
#include <sys/resource.h>

__boolean CKesFileDescriptor::KFDIsUnavailable(int error)
{
    return (error == EMFILE || error == ENFILE) ? TRUE : FALSE;
}

int CKesFileDescriptor::KFDMakeAvailable()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_cur >= limit.rlim_max) return -1;

    // Straight to the hard limit; an unlimited hard limit is capped by the
    // kernel (fs.nr_open), so then double the soft one instead.
    rlim_t wanted = limit.rlim_max;
    if (wanted == RLIM_INFINITY) wanted = limit.rlim_cur * 2 + 64;
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return 0;
    return -1;
}
