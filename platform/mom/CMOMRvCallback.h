// CMOMRvCallback: the callback interface the event loop calls for a socket.
// The registrant owns the callback object and keeps it alive while it is
// registered and until the loop can no longer be inside its OnIO (an OnIO
// already begun may still run after KRNRemoveIO has returned).
// Threads: OnIO runs on the event-loop thread, one call at a time.
// Locks: the loop holds none of its locks while OnIO runs; OnIO may register,
// remove and stop.
#pragma once

#include "CMOMRvIO.h"

class CMOMRvCallback {
public:
    virtual ~CMOMRvCallback() = default;
    // Called on the event-loop thread when the registered socket can be read.
    virtual void OnIO(CMOMRvIO* io) = 0;
};
