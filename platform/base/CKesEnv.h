// CKesEnv: the installation's environment, read from the process environment
// and the network interfaces at each call. Static only (never instantiated),
// callable from any thread, takes no lock.
#pragma once

#include <cstdint>
#include <string>

#include "CKesAtom.h"
#include "CKesAtomVector.h"

class CKesEnv {
public:
    // The installation home: KSX_HOME, or "/opt/ksx" when it is not set.
    static CKesAtom KEQBHome();
    // The service file of the installation at home:
    // home + "/etc/ostravine/ServiceData.cfg".
    static std::string KEServiceFilePath(const std::string& home);
    // The service file of this installation (the one at KEQBHome()).
    static std::string KEServiceFilePath();
    // The host's IPv4 addresses as dotted texts, non-loopback first, loopback
    // last; KSX_HOST_ADDRS (comma-separated, blanks trimmed, empty items
    // skipped, items that are no IPv4 address reported and skipped) overrides
    // the list when it names at least one address.
    static CKesAtomVector KELocalHostIPAddrs();
    // The multicast interface of this installation: KSX_MULTICAST_IF with
    // blanks trimmed, or "" (the default interface) when it is unset or blank.
    static std::string KEMulticastInterface();
    // Finds one of the host's network interfaces by its name or by one of
    // its IPv4 addresses (a dotted IPv4 text is taken as an address). True
    // when found: *index is the interface's index and *address the address
    // given (network order), or INADDR_ANY for a name. False, nothing
    // written, when the text names neither; reports nothing.
    static bool KEFindInterface(const char* nameOrAddress, unsigned int* index, uint32_t* address);
};
