// CKesSockEnd: one end of a service connection: service name, domain, IPv4
// address and port, socket and end-point name, with the dynamic and
// confirmed flags. Builds the hash key, the service-file line and the
// discovery and greeting records (address request and reply, client id,
// keep-alive).
//
// Created and destroyed by its owner: a server (its own record, one per
// accepted client), a client (its server's record), the service data parser
// (its result table, which destroys the records it holds) and the multicast
// channel. Records and their copies may share one socket handle: the handle
// is closed when the last record holding it is destroyed (or releases it).
// Threads: one thread at a time per record; the owner's lock guards it
// (a server's or client's lock, the parser's data lock). The shared socket
// count is guarded by a private process-wide mutex, taken alone and
// innermost, never while calling out.
#pragma once

#include <sys/socket.h>

#include "CKesListable.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

class CKesRecord;

class CKesSockEnd : public CKesListable {
public:
    // Names and fixed values of the discovery and greeting records.
    static constexpr const char* ms_DataField = "KesSockInternalDataField";
    static constexpr const char* ms_AddressRequest = "KesSockAddressRequest";
    static constexpr const char* ms_AddressReply = "KesSockAddressReply";
    static constexpr const char* ms_ServiceNameField = "KesSockInternalServiceName";
    static constexpr const char* ms_DomainNameField = "KesSockInternalDomainName";
    static constexpr const char* ms_AddressField = "KesSockInternalAddress";
    static constexpr const char* ms_PortField = "KesSockInternalPort";
    static constexpr const char* ms_ClientIdField = "KesSocketClientIdField";
    static constexpr const char* ms_KeepAliveField = "_CKesSockEnd_KeepAlive_";
    static constexpr const char* ms_KeepAliveValue = "True";

    // All fields at their initial values.
    CKesSockEnd();
    // Takes over the three malloc'd blocks and the socket. Any of them
    // missing (null or the invalid socket): reports KES_ERR_ARGUMENT, takes nothing
    // and yields an empty record.
    CKesSockEnd(char* serviceName, sockaddr* address, char* domain, unsigned int socket);
    // Deep copy of texts and address; shares the socket handle (see above).
    // The copy is in no list.
    CKesSockEnd(const CKesSockEnd& other);
    // Releases all blocks; closes the socket when no other record holds it.
    ~CKesSockEnd() override;

    // A new record copied from source (a CKesSockEnd), or null.
    CKesListable* KLTargetDeepCopy(const CKesListable* source) override;

    // Pointer setters take over the malloc'd block and free the block they
    // replace (unless it is the same one). Null: KES_ERR_ARGUMENT, nothing changes.
    int KSESetServiceName(char* serviceName);
    int KSESetEndPointName(char* endPointName);
    int KSESetEndPointDomain(char* domain);
    int KSESetEndPointAddress(sockaddr* address);
    // A new IPv4 address block from dotted text ("0.0.0.0" is any address;
    // text that is no dotted address gives the all-ones address) and the
    // low 16 bits of port. Null text or negative port: KES_ERR_ARGUMENT.
    int KSESetEndPointAddress(const char* address, int port);
    // Takes over the socket. The invalid socket: KES_ERR_INVALID_SOCKET, nothing changes.
    // A different socket held before is given up without being closed.
    int KSESetEndPointSocket(unsigned int socket);
    void KSESetDynamic(bool dynamic);
    void KSEConfirmConnection(__boolean confirmed);
    // Gives up the socket without closing it and returns it (the invalid
    // socket when none was held); the record then holds none. For an owner
    // that closes the socket itself or hands a copy on without it.
    unsigned int KSEReleaseEndPointSocket();

    // Getters keep ownership unless they say otherwise.
    char* KSEGetServiceName() const;
    char* KSEGetEndPointName() const;
    char* KSEGetEndPointDomain() const;
    sockaddr* KSEGetEndPointAddress() const;
    unsigned int KSEGetEndPointSocket() const;
    __boolean KSEIsConnectionConfirmed() const;
    bool KSEGetDynamic() const;
    // New heap text of the dotted address (caller frees); null without address.
    char* KSEGetEndPtIpAddress() const;
    // The IPv4 address in network byte order; 0 without address.
    unsigned long KSEGetEndPtIpAddressLong() const;
    // The port in host byte order; 0 without address.
    unsigned int KSEGetEndPtAddressPort() const;
    // New heap text of the socket in decimal (caller frees); null for the
    // invalid socket.
    char* KSEGetEndPointSocketStr() const;
    // "domain.service", built on first request and cached from then on
    // (even when the names change later); null without both names.
    char* KSEGetHashKey();
    // New heap text (caller frees): one service-file entry ending in "\r\n";
    // null when service name, domain or address is missing.
    char* KSEGetServiceLine() const;
    // New records (caller deletes), or null when a part is missing.
    CKesRecord* KSEGetAddressRequestPacket() const;
    CKesRecord* KSEGetAddressReplyPacket() const;
    // Writes the record on standard output, whatever the trace level.
    void KSEDump() const;

    // The greeting a client sends first on each connection: one text value
    // "KesSocketClientIdField" = clientId. Null for a null id.
    static CKesRecord* KSEGetClientIdPacket(const char* clientId);
    // The keep-alive record: "_CKesSockEnd_KeepAlive_" = "True".
    static CKesRecord* KSEGetKeepAlivePacket();

private:
    CKesSockEnd& operator=(const CKesSockEnd&) = delete;

    // Frees every owned block, releases the socket and resets all fields.
    void Clear();

    char* m_ServiceName;             // owned (malloc)
    char* m_EndPointName;            // owned: host name, client id or server name
    sockaddr* m_EndPointAddress;     // owned: 16-byte IPv4 address, network order
    char* m_Domain;                  // owned
    unsigned int m_Socket;           // shared handle, closed by its last holder
    char* m_HashKey;                 // owned: cached "domain.service"
    __boolean m_ConnectionConfirmed; // client id received on this connection
    bool m_Dynamic;                  // "DYNAMIC: YES" / "NO" in the service line
};
