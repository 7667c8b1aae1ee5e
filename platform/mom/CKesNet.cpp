// CKesNet: the network engine base (see the header).
#include "CKesNet.h"

#include <cstdlib>
#include <cstring>

CKesNet::CKesNet(const char* name, __serv_types type)
    : m_Name(name != nullptr ? strdup(name) : nullptr), m_Type(type)
{
}

CKesNet::~CKesNet() { free(m_Name); }
