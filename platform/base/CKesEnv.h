// CKesEnv: the installation's environment. Static, callable from any thread.
#pragma once

#include "CKesAtom.h"
#include "CKesAtomVector.h"

class CKesEnv {
public:
    // The installation home: KSX_HOME, or "/opt/ksx" when it is not set.
    static CKesAtom KEQBHome();
    // The host's IPv4 addresses as dotted texts, non-loopback first, loopback
    // last; KSX_HOST_ADDRS (comma-separated) overrides the list.
    static CKesAtomVector KELocalHostIPAddrs();
};
