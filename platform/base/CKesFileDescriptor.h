// CKesFileDescriptor: what to do when the process runs out of descriptors.
// Static only, callable from any thread, takes no lock (the limit itself is
// process-wide, so concurrent raises simply both succeed or both find it raised).
#pragma once

#include "KesPort.h"

class CKesFileDescriptor {
public:
    // TRUE when the error number means the process or system has run out of
    // file descriptors (EMFILE, ENFILE).
    static __boolean KFDIsUnavailable(int error);
    // Raises the soft descriptor limit toward the hard one. 0 when it was
    // raised (so the failed call may be made once more), -1 otherwise.
    static int KFDMakeAvailable();
};
