// CKesObjMulticast: the UDP multicast channel through which engines find
// servers: one IPv4 group address and port, a socket that sends to the group
// and a socket that has joined the group for receiving (read by the engine's
// event loop, never by the channel itself).
// Created and destroyed by the socket engine (from the service file's entry
// of the multicast service); servers and clients only borrow it.
// Threads: KOMSendPacket is called concurrently from client connect threads
// and engine workers; the constructors, setters, KOMInitialise and the
// destructor run on one thread before the channel is shared or after all
// users have stopped.
// Locks: sends take none. Each send uses its own buffer and one sendto on
// the shared send socket, which the kernel serialises. The interface lock
// (m_InterfaceLock, a leaf: only error reports run under it) serialises
// choices of the interface with each other and with KOMInitialise, so the
// interface may be changed from any thread while the channel is in use.
//
// The interface: by default datagrams leave by the route for the group and
// the group is joined on the interface that route names (the system's
// choice). KOMSetInterface chooses one interface for both; the receive
// socket then takes only datagrams that arrive on it (IP_MULTICAST_ALL off),
// not those of memberships other sockets of the host hold elsewhere.
#pragma once

#include <sys/socket.h>

#include <cstdint>

#include "CKesMutex.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

class CKesRecord;
class CKesSockEnd;

class CKesObjMulticast {
public:
    // Sockets invalid, no address, loopback on.
    CKesObjMulticast();
    // Sockets invalid; the group from a dotted text and a port (reports
    // KES_ERR_ARGUMENT when they are refused); loopback as given.
    CKesObjMulticast(const char* address, int port, __boolean loopback);
    // Sockets invalid, loopback off; copies the endpoint's 16-byte address
    // (the endpoint is not kept). Reports KES_ERR_ARGUMENT for a null endpoint or one
    // without address, KES_ERR_ALLOCATION when the copy cannot be allocated.
    explicit CKesObjMulticast(CKesSockEnd* endpoint);
    // Closes each valid socket and frees the address block.
    virtual ~CKesObjMulticast();

    // Validates the dotted group text (224.0.0.0 to 238.255.255.255) and the
    // port (not negative) and stores a new address block. 1, KES_ERR_ARGUMENT for a
    // null text, KES_ERR_MULTICAST_GROUP for a refused group or port (nothing changes),
    // KES_ERR_ALLOCATION when the block cannot be allocated.
    int KOMSetAddress(const char* address, int port);
    // Takes the malloc'd 16-byte block over (it is freed by the channel). 1,
    // or KES_ERR_ARGUMENT for null.
    int KOMSetAddress(sockaddr* address);

    // Takes effect at the next KOMInitialise.
    void KOMSetLoopback(__boolean loopback) { m_Loopback = loopback; }
    __boolean KOMGetLoopback() { return m_Loopback; }

    unsigned int KOMGetSendSocket() { return m_SendSocket; }
    unsigned int KOMGetReceiveSocket() { return m_ReceiveSocket; }
    // The stored block; the channel keeps it.
    sockaddr* KOMGetMulticastAddress() { return m_MulticastAddress; }
    // The group address in network byte order; 0 without address.
    unsigned long KOMGetMulticastAddressLong();
    // A new malloc'd dotted text the caller frees, or null when there is no
    // address or it is 0 or all ones.
    char* KOMGetMulticastIPAddress();
    // The port in host byte order; 0 without address.
    int KOMGetMulticastPort();

    // Chooses the interface the channel sends by and receives on: an
    // interface name or one of the host's IPv4 addresses (which also becomes
    // the datagrams' source address); null or "" goes back to the default.
    // Stored for KOMInitialise; on open sockets it takes effect at once, the
    // new membership joined before the old one is dropped, so no datagram is
    // missed and nothing is reopened. 1; KES_ERR_MULTICAST_INTERFACE (reported) for a
    // text that names no interface of this host, KES_ERR_SOCKET_OPTION
    // (reported) when the sockets refuse it; on failure the channel keeps
    // the interface it had.
    int KOMSetInterface(const char* nameOrAddress);
    // The chosen interface's index; 0 for the default.
    unsigned int KOMGetInterfaceIndex();

    // Opens the send socket and the joined receive socket. 1; KES_ERR_MULTICAST_GROUP
    // without address; otherwise the failing step's code, with both sockets
    // closed and invalid so that it may be called again.
    int KOMInitialise();
    // Sends one encoded record as one datagram to the group; the caller
    // keeps the record. 1, KES_ERR_ARGUMENT for null or an unencodable record,
    // KES_ERR_MULTICAST_SEND when the datagram was not sent whole.
    int KOMSendPacket(CKesRecord* record);
    // Writes the channel in one line to standard output, whatever the level.
    void KOMDump();

private:
    // Only reachable by mistake: reports the misuse and leaves the copy
    // without address or sockets.
    CKesObjMulticast(const CKesObjMulticast& other);
    CKesObjMulticast& operator=(const CKesObjMulticast&) = delete;

    int KOMSetupSendSocket();
    int KOMSetupReceiveSocket();
    // A new UDP socket, retried once when the process ran out of
    // descriptors and the limit could be raised; the invalid socket else.
    static unsigned int KOMOpenUdpSocket();
    static void KOMCloseSocket(unsigned int& socket);
    // Moves open sockets to the interface (caller holds m_InterfaceLock).
    int SwitchInterface(unsigned int index, uint32_t address);

    unsigned int m_SendSocket;    // owned; used by KOMSendPacket
    unsigned int m_ReceiveSocket; // owned; bound to the group port, joined
    sockaddr* m_MulticastAddress; // owned, malloc'd 16 bytes, network order
    __boolean m_Loopback;         // own datagrams delivered to this host too
    // The chosen interface, under m_InterfaceLock: its index (0: the
    // default) and, when it was chosen by address, that address (network
    // order; INADDR_ANY otherwise).
    CKesMutex m_InterfaceLock;
    unsigned int m_InterfaceIndex = 0;
    uint32_t m_InterfaceAddress = 0;
};
