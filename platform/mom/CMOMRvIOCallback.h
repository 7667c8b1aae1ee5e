// CMOMRvIOCallback: the readable-socket callback that KRNAddIOHandle takes.
#pragma once

#include "CMOMRvCallback.h"

class CMOMRvIOCallback : public CMOMRvCallback {
public:
    ~CMOMRvIOCallback() override = default;
};
