// CKesEngine: the network engine base that the socket engine derives from:
// the event loop of CKesRvNet under the process's name and service type.
// Created and destroyed by the host's thread as the base of its socket
// engine; threads and locks as CKesRvNet.
#pragma once

#include "CKesRvNet.h"

class CKesEngine : public CKesRvNet {
public:
    CKesEngine(const char* name, __serv_types type) : CKesRvNet(name, type) {}
    CKesEngine(char* name, __serv_types type) : CKesRvNet(name, type) {}
    ~CKesEngine() override = default;

    int KRNPostInitFns() override { return CKesRvNet::KRNPostInitFns(); }
};
