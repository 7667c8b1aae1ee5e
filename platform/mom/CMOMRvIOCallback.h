// CMOMRvIOCallback: the readable-socket callback that KRNAddIOHandle takes.
// Ownership, threads and locks as CMOMRvCallback.
#pragma once

#include "CMOMRvCallback.h"

class CMOMRvIOCallback : public CMOMRvCallback {
public:
    ~CMOMRvIOCallback() override = default;
};
