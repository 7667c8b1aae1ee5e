// CKesEngine: the network engine base that the socket engine derives from.
#pragma once

#include "CKesRvNet.h"

class CKesEngine : public CKesRvNet {
public:
    CKesEngine(const char* name, __serv_types type) : CKesRvNet(name, type) {}
    CKesEngine(char* name, __serv_types type) : CKesRvNet(name, type) {}
    ~CKesEngine() override = default;

    int KRNPostInitFns() override { return CKesRvNet::KRNPostInitFns(); }
};
