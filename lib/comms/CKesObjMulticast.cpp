// CKesObjMulticast: the UDP multicast channel (see the header).
#include "CKesObjMulticast.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "CKesAutoMutex.h"
#include "CKesEnv.h"
#include "CKesError.h"
#include "CKesFileDescriptor.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "KesCheck.h"
#include "KesErrorCodes.h"

namespace {

const char* const kSource = "CKesObjMulticast";

// A dotted text converted as inet_addr does (all ones when it is no dotted
// address), in host byte order.
uint32_t HostOrderAddress(const char* text) { return ntohl(static_cast<uint32_t>(inet_addr(text))); }

const sockaddr_in* AsInet(const sockaddr* address) { return reinterpret_cast<const sockaddr_in*>(address); }

// The group on an interface, as a membership request and as the value of
// IP_MULTICAST_IF; index 0 with INADDR_ANY leaves the interface to the system.
ip_mreqn OnInterface(const sockaddr* group, unsigned int index, uint32_t address)
{
    ip_mreqn request{};
    request.imr_multiaddr = AsInet(group)->sin_addr;
    request.imr_address.s_addr = address;
    request.imr_ifindex = static_cast<int>(index);
    return request;
}

bool SetIpOption(unsigned int socket, int option, const void* value, socklen_t length)
{
    return setsockopt(static_cast<int>(socket), IPPROTO_IP, option, value, length) == 0;
}

// With a chosen interface the receive socket takes only what arrives on it;
// otherwise the system also delivers the group's datagrams from interfaces
// where other sockets of the host joined it.
bool TakeOnlyJoined(unsigned int socket, bool only)
{
    const int all = only ? 0 : 1;
    return SetIpOption(socket, IP_MULTICAST_ALL, &all, sizeof all);
}

} // namespace

CKesObjMulticast::CKesObjMulticast()
    : m_SendSocket(KES_INVALID_SOCKET), m_ReceiveSocket(KES_INVALID_SOCKET), m_MulticastAddress(nullptr),
      m_Loopback(TRUE)
{
}

CKesObjMulticast::CKesObjMulticast(const char* address, int port, __boolean loopback) : CKesObjMulticast()
{
    if (KOMSetAddress(address, port) != 1) CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
    m_Loopback = loopback;
}

CKesObjMulticast::CKesObjMulticast(CKesSockEnd* endpoint) : CKesObjMulticast()
{
    m_Loopback = FALSE;
    if (endpoint == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No endpoint for the multicast channel");
        return;
    }
    const sockaddr* source = endpoint->KSEGetEndPointAddress();
    if (source == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "The multicast endpoint has no address");
        return;
    }
    m_MulticastAddress = static_cast<sockaddr*>(malloc(KES_SOCKADDR_IN_LEN));
    if (m_MulticastAddress == nullptr) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return;
    }
    memcpy(m_MulticastAddress, source, KES_SOCKADDR_IN_LEN);
}

CKesObjMulticast::CKesObjMulticast(const CKesObjMulticast&) : CKesObjMulticast()
{
    fputs("ERROR: This is a private copy constructor which should not\n", stderr);
    fputs(" be used.\n", stderr);
    CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
}

CKesObjMulticast::~CKesObjMulticast()
{
    KOMCloseSocket(m_SendSocket);
    KOMCloseSocket(m_ReceiveSocket);
    free(m_MulticastAddress);
}

int CKesObjMulticast::KOMSetAddress(const char* address, int port)
{
    if (address == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
        return KES_ERR_ARGUMENT;
    }
    const uint32_t group = HostOrderAddress(address);
    const bool inRange =
        group >= HostOrderAddress("224.0.0.0") && group <= HostOrderAddress("238.255.255.255");
    if (!inRange || port < 0) {
        CKesError(KES_ERR_MULTICAST_GROUP, kSource, __LINE__, address);
        return KES_ERR_MULTICAST_GROUP;
    }
    auto* block = static_cast<sockaddr_in*>(malloc(KES_SOCKADDR_IN_LEN));
    if (block == nullptr) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return KES_ERR_ALLOCATION;
    }
    memset(block, 0, KES_SOCKADDR_IN_LEN);
    block->sin_family = AF_INET;
    block->sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    block->sin_addr.s_addr = htonl(group);
    return KesTakeOver(m_MulticastAddress, reinterpret_cast<sockaddr*>(block));
}

int CKesObjMulticast::KOMSetAddress(sockaddr* address)
{
    if (address == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
        return KES_ERR_ARGUMENT;
    }
    return KesTakeOver(m_MulticastAddress, address);
}

unsigned long CKesObjMulticast::KOMGetMulticastAddressLong()
{
    if (m_MulticastAddress == nullptr) return 0;
    return AsInet(m_MulticastAddress)->sin_addr.s_addr;
}

char* CKesObjMulticast::KOMGetMulticastIPAddress()
{
    const unsigned long address = KOMGetMulticastAddressLong();
    if (address == 0 || address == 0xFFFFFFFFul) return nullptr;
    return KesGetIPStr(static_cast<uint32_t>(address));
}

int CKesObjMulticast::KOMGetMulticastPort()
{
    if (m_MulticastAddress == nullptr) return 0;
    return ntohs(AsInet(m_MulticastAddress)->sin_port);
}

int CKesObjMulticast::KOMSetInterface(const char* nameOrAddress)
{
    unsigned int index = 0;
    uint32_t address = htonl(INADDR_ANY);
    const bool chosen = nameOrAddress != nullptr && *nameOrAddress != '\0';
    if (chosen && !CKesEnv::KEFindInterface(nameOrAddress, &index, &address)) {
        const std::string text = std::string("Multicast interface \"") + nameOrAddress +
                                 "\" is neither a network interface of this host nor one of its IPv4 "
                                 "addresses; the channel keeps its interface";
        CKesError(KES_ERR_MULTICAST_INTERFACE, kSource, __LINE__, text.c_str());
        return KES_ERR_MULTICAST_INTERFACE;
    }
    CKesAutoMutex hold(m_InterfaceLock);
    if (index == m_InterfaceIndex && address == m_InterfaceAddress) return 1;
    if (m_SendSocket != KES_INVALID_SOCKET || m_ReceiveSocket != KES_INVALID_SOCKET)
        return SwitchInterface(index, address);
    m_InterfaceIndex = index;
    m_InterfaceAddress = address;
    return 1;
}

unsigned int CKesObjMulticast::KOMGetInterfaceIndex()
{
    CKesAutoMutex hold(m_InterfaceLock);
    return m_InterfaceIndex;
}

int CKesObjMulticast::SwitchInterface(unsigned int index, uint32_t address)
{
    KES_CHECK(m_InterfaceLock.IsHeldByMe(), "SwitchInterface: caller holds the interface lock");
    const ip_mreqn wanted = OnInterface(m_MulticastAddress, index, address);
    const ip_mreqn previous = OnInterface(m_MulticastAddress, m_InterfaceIndex, m_InterfaceAddress);
    const bool receiving = m_ReceiveSocket != KES_INVALID_SOCKET;
    // Join first, drop last: the socket is a member somewhere throughout.
    // EADDRINUSE: it is a member on that interface already (the previous
    // membership is there), so there is nothing to join or to drop.
    bool joined = false;
    if (receiving) {
        joined = SetIpOption(m_ReceiveSocket, IP_ADD_MEMBERSHIP, &wanted, sizeof wanted);
        if (!joined && errno != EADDRINUSE) {
            KesReportSocketError(m_ReceiveSocket,
                                 "The multicast group cannot be joined on the chosen interface");
            CKesError(KES_ERR_SOCKET_OPTION, kSource, __LINE__, nullptr);
            return KES_ERR_SOCKET_OPTION;
        }
    }
    const bool onlyJoined = !receiving || TakeOnlyJoined(m_ReceiveSocket, index != 0);
    const bool sendsThere =
        onlyJoined && (m_SendSocket == KES_INVALID_SOCKET ||
                       SetIpOption(m_SendSocket, IP_MULTICAST_IF, &wanted, sizeof wanted));
    if (!sendsThere) { // undone: the channel keeps its interface
        KesReportSocketError(onlyJoined ? m_SendSocket : m_ReceiveSocket,
                             "The multicast interface cannot be changed");
        if (joined) SetIpOption(m_ReceiveSocket, IP_DROP_MEMBERSHIP, &wanted, sizeof wanted);
        if (receiving && onlyJoined) TakeOnlyJoined(m_ReceiveSocket, m_InterfaceIndex != 0);
        CKesError(KES_ERR_SOCKET_OPTION, kSource, __LINE__, nullptr);
        return KES_ERR_SOCKET_OPTION;
    }
    if (joined && !SetIpOption(m_ReceiveSocket, IP_DROP_MEMBERSHIP, &previous, sizeof previous)) {
        // Still a member on the previous interface as well: more datagrams
        // than chosen, none lost.
        KesReportSocketError(m_ReceiveSocket, "The multicast group stays joined on the previous interface");
        CKesError(KES_ERR_SOCKET_OPTION, kSource, __LINE__, nullptr);
    }
    m_InterfaceIndex = index;
    m_InterfaceAddress = address;
    return 1;
}

int CKesObjMulticast::KOMInitialise()
{
    if (m_MulticastAddress == nullptr) return KES_ERR_MULTICAST_GROUP;
    CKesAutoMutex hold(m_InterfaceLock);
    // Initialising again replaces the sockets rather than leaking them.
    KOMCloseSocket(m_SendSocket);
    KOMCloseSocket(m_ReceiveSocket);
    int result = KOMSetupSendSocket();
    if (result != 1) {
        CKesError(result, kSource, __LINE__, nullptr);
        return result;
    }
    result = KOMSetupReceiveSocket();
    if (result != 1) {
        KOMCloseSocket(m_SendSocket);
        KOMCloseSocket(m_ReceiveSocket);
        CKesError(result, kSource, __LINE__, nullptr);
        return result;
    }
    return 1;
}

unsigned int CKesObjMulticast::KOMOpenUdpSocket()
{
    for (;;) {
        const int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (handle >= 0) return static_cast<unsigned int>(handle);
        // Out of descriptors: raise the limit and try again while it can be raised.
        if (!CKesFileDescriptor::KFDIsUnavailable(errno) || CKesFileDescriptor::KFDMakeAvailable() != 0)
            return KES_INVALID_SOCKET;
    }
}

void CKesObjMulticast::KOMCloseSocket(unsigned int& socket)
{
    if (socket == KES_INVALID_SOCKET) return;
    KesCloseSocket(socket);
    socket = KES_INVALID_SOCKET;
}

int CKesObjMulticast::KOMSetupSendSocket()
{
    m_SendSocket = KOMOpenUdpSocket();
    if (m_SendSocket == KES_INVALID_SOCKET) return KES_ERR_SOCKET_CREATE;
    const unsigned char loop = m_Loopback == TRUE ? 1 : 0;
    if (setsockopt(static_cast<int>(m_SendSocket), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        KOMCloseSocket(m_SendSocket);
        return KES_ERR_SOCKET_OPTION;
    }
    // By default the route for the group chooses the interface.
    if (m_InterfaceIndex == 0) return 1;
    const ip_mreqn chosen = OnInterface(m_MulticastAddress, m_InterfaceIndex, m_InterfaceAddress);
    if (!SetIpOption(m_SendSocket, IP_MULTICAST_IF, &chosen, sizeof chosen)) {
        KesReportSocketError(m_SendSocket, "Socket option IP_MULTICAST_IF failed");
        KOMCloseSocket(m_SendSocket);
        return KES_ERR_SOCKET_OPTION;
    }
    return 1;
}

int CKesObjMulticast::KOMSetupReceiveSocket()
{
    m_ReceiveSocket = KOMOpenUdpSocket();
    if (m_ReceiveSocket == KES_INVALID_SOCKET) return KES_ERR_SOCKET_CREATE;
    const int handle = static_cast<int>(m_ReceiveSocket);
    const int reuse = 1;
    if (setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
        KesReportSocketError(m_ReceiveSocket, "Socket option SO_REUSEADDR failed");
        KOMCloseSocket(m_ReceiveSocket);
        CKesError(KES_ERR_SOCKET_OPTION, kSource, __LINE__, nullptr);
        return KES_ERR_SOCKET_OPTION;
    }
    // Bound to the group itself, the socket sees only the group's datagrams;
    // where the system refuses that, the any address on the same port.
    if (bind(handle, m_MulticastAddress, KES_SOCKADDR_IN_LEN) != 0) {
        sockaddr_in any;
        memcpy(&any, m_MulticastAddress, KES_SOCKADDR_IN_LEN);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(handle, reinterpret_cast<sockaddr*>(&any), KES_SOCKADDR_IN_LEN) != 0) {
            KesReportSocketError(m_ReceiveSocket, "Multicast socket bind failed");
            KOMCloseSocket(m_ReceiveSocket);
            CKesError(KES_ERR_BIND, kSource, __LINE__, nullptr);
            return KES_ERR_BIND;
        }
    }
    // The any interface (index 0) is the one the route for the group names.
    const ip_mreqn membership = OnInterface(m_MulticastAddress, m_InterfaceIndex, m_InterfaceAddress);
    if (setsockopt(handle, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0 ||
        (m_InterfaceIndex != 0 && !TakeOnlyJoined(m_ReceiveSocket, true))) {
        CKesError(KES_ERR_SOCKET_OPTION, kSource, __LINE__, nullptr);
        return KES_ERR_SOCKET_OPTION;
    }
    return 1;
}

int CKesObjMulticast::KOMSendPacket(CKesRecord* record)
{
    if (record == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
        return KES_ERR_ARGUMENT;
    }
    unsigned char* buffer = nullptr;
    unsigned int length = 0;
    record->KOMEncode(&buffer, &length);
    if (buffer == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "The record cannot be encoded");
        return KES_ERR_ARGUMENT;
    }
    if (KesTraceOn(4)) {
        KesTrace("Sending Multicast packet. - ");
        record->KRPrint();
        KesTrace(" on ");
        KOMDump();
        KesTrace(" of length %u packet ", length);
        fwrite(buffer, 1, length, stdout);
        KesTrace("\n");
    }
    const ssize_t sent =
        sendto(static_cast<int>(m_SendSocket), buffer, length, 0, m_MulticastAddress, KES_SOCKADDR_IN_LEN);
    free(buffer);
    if (sent < 0 || static_cast<size_t>(sent) != length) return KES_ERR_MULTICAST_SEND;
    return 1;
}

void CKesObjMulticast::KOMDump()
{
    if (m_MulticastAddress == nullptr) {
        printf("Multicast address is NULL.\n");
        fflush(stdout);
        return;
    }
    // 0 and all ones have no dotted text of their own in the channel: show
    // them numerically so that the line still says what is stored.
    char* dotted = KOMGetMulticastIPAddress();
    const char* numeric = KOMGetMulticastAddressLong() == 0 ? "0.0.0.0" : "255.255.255.255";
    printf("Multicast IP: %s  Multicast Port: %d  Loopback is %s Send socket %u Receive socket %u \n",
           dotted != nullptr ? dotted : numeric, KOMGetMulticastPort(), m_Loopback == TRUE ? "ON" : "OFF",
           m_SendSocket, m_ReceiveSocket);
    fflush(stdout);
    free(dotted);
}
