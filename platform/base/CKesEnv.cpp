#include "CKesEnv.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <ifaddrs.h>
#include <net/if.h>
#include <string>
#include <vector>

#include "CKesError.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

namespace {

std::string Trimmed(const std::string& text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

// The items of KSX_HOST_ADDRS that are dotted IPv4 addresses; the others are
// reported and left out.
std::vector<std::string> AddressesFromList(const char* list)
{
    std::vector<std::string> addresses;
    std::string text(list);
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = Trimmed(text.substr(start, comma - start));
        start = comma + 1;
        if (item.empty()) continue;
        in_addr parsed{};
        if (KesInetAtoN(item.c_str(), &parsed) != 0) {
            std::string report = "KSX_HOST_ADDRS item \"" + item + "\" is not an IPv4 address.";
            CKesError(KES_ERR_SERVICE_ENTRY, "CKesEnv", __LINE__, report.c_str());
            continue;
        }
        addresses.push_back(item);
    }
    return addresses;
}

void AppendUnique(std::vector<std::string>& list, const std::string& address)
{
    for (const std::string& known : list)
        if (known == address) return;
    list.push_back(address);
}

std::vector<std::string> AddressesOfInterfaces()
{
    std::vector<std::string> outside;
    std::vector<std::string> loopback;
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return outside;
    for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (!(entry->ifa_flags & IFF_UP)) continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        char text[INET_ADDRSTRLEN];
        if (!inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) continue;
        AppendUnique((entry->ifa_flags & IFF_LOOPBACK) ? loopback : outside, text);
    }
    ::freeifaddrs(interfaces);
    for (const std::string& address : loopback) AppendUnique(outside, address);
    return outside;
}

// The index of the interface that holds the IPv4 address (network order);
// 0 when no interface of the host holds it.
unsigned int InterfaceHolding(uint32_t address)
{
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return 0;
    unsigned int index = 0;
    for (ifaddrs* entry = interfaces; entry && index == 0; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
        if (reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr != address) continue;
        // An address label ("eth0:1") names its interface before the colon.
        const std::string name(entry->ifa_name);
        index = ::if_nametoindex(name.substr(0, name.find(':')).c_str());
    }
    ::freeifaddrs(interfaces);
    return index;
}

} // namespace

CKesAtom CKesEnv::KEQBHome()
{
    const char* home = std::getenv("KSX_HOME");
    return CKesAtom(home && *home ? home : "/opt/ksx");
}

std::string CKesEnv::KEServiceFilePath(const std::string& home)
{
    return home + "/etc/ostravine/ServiceData.cfg";
}

std::string CKesEnv::KEServiceFilePath()
{
    CKesAtom home = KEQBHome();
    return KEServiceFilePath(home.KAString() ? home.KAString() : "");
}

CKesAtomVector CKesEnv::KELocalHostIPAddrs()
{
    const char* list = std::getenv("KSX_HOST_ADDRS");
    std::vector<std::string> addresses;
    if (list) addresses = AddressesFromList(list);
    // An override that names no usable address would leave the host with
    // none at all; the interfaces' addresses are the better answer then.
    if (addresses.empty()) addresses = AddressesOfInterfaces();
    CKesAtomVector result;
    for (const std::string& address : addresses) result.KAVAppend(CKesAtom(address.c_str()));
    return result;
}

std::string CKesEnv::KEMulticastInterface()
{
    const char* text = std::getenv("KSX_MULTICAST_IF");
    return text ? Trimmed(text) : std::string();
}

bool CKesEnv::KEFindInterface(const char* nameOrAddress, unsigned int* index, uint32_t* address)
{
    if (!nameOrAddress || !*nameOrAddress || !index || !address) return false;
    in_addr parsed{};
    const bool isAddress = KesInetAtoN(nameOrAddress, &parsed) == 0;
    const unsigned int found = isAddress ? InterfaceHolding(parsed.s_addr) : ::if_nametoindex(nameOrAddress);
    if (found == 0) return false;
    *index = found;
    *address = isAddress ? parsed.s_addr : htonl(INADDR_ANY);
    return true;
}
