// CMOMRvCallback: the callback interface the event loop calls for a socket.
// The registrant owns the callback object and keeps it alive while registered.
#pragma once

#include "CMOMRvIO.h"

class CMOMRvCallback {
public:
    virtual ~CMOMRvCallback() = default;
    // Called on the event-loop thread when the registered socket can be read.
    virtual void OnIO(CMOMRvIO* io) = 0;
};
