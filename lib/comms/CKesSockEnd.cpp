#include "CKesSockEnd.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

#include "CKesAtom.h"
#include "CKesAutoMutex.h"
#include "CKesError.h"
#include "CKesRecord.h"
#include "CKesVarBind.h"
#include "KesErrorCodes.h"

namespace {

const char* const kSource = "CKesSockEnd";

// How many records hold each socket handle: a record and its copies share
// one handle, and only the last of them to go closes it.
CKesMutex g_SocketLock;
std::unordered_map<unsigned int, int> g_SocketHolders;

void HoldSocket(unsigned int socket)
{
    if (socket == KES_INVALID_SOCKET) return;
    CKesAutoMutex hold(g_SocketLock);
    ++g_SocketHolders[socket];
}

// Drops one holder; true when it was the last one.
bool DropSocket(unsigned int socket)
{
    if (socket == KES_INVALID_SOCKET) return false;
    CKesAutoMutex hold(g_SocketLock);
    auto it = g_SocketHolders.find(socket);
    if (it == g_SocketHolders.end()) return true;
    if (--it->second > 0) return false;
    g_SocketHolders.erase(it);
    return true;
}

// strdup of text when present; a failed copy is reported.
char* DupText(const char* text, int line)
{
    if (!text) return nullptr;
    char* copy = strdup(text);
    if (!copy) CKesError(KES_ERR_ALLOCATION, kSource, line, nullptr);
    return copy;
}

const sockaddr_in* AsIPv4(const sockaddr* address) { return reinterpret_cast<const sockaddr_in*>(address); }

// A new heap text made by printf-style formatting, or null (reported).
template <typename... Args>
char* FormatText(int line, const char* format, Args... args)
{
    const int size = std::snprintf(nullptr, 0, format, args...);
    char* text = size < 0 ? nullptr : static_cast<char*>(std::malloc(size + 1));
    if (!text) {
        CKesError(KES_ERR_ALLOCATION, kSource, line, nullptr);
        return nullptr;
    }
    std::snprintf(text, size + 1, format, args...);
    return text;
}

// Adds a value to the record; the record takes it over in every case.
bool AddValue(CKesRecord* record, CKesVarBind* value)
{
    if (!value) return false;
    return record->KRAddValue(value) == 1;
}

bool AddText(CKesRecord* record, const char* name, const char* text)
{
    return AddValue(record, new (std::nothrow) CKesVarBind(name, text));
}

bool AddInt(CKesRecord* record, const char* name, int value)
{
    return AddValue(record, new (std::nothrow) CKesVarBind(name, value));
}

} // namespace

CKesSockEnd::CKesSockEnd()
    : m_ServiceName(nullptr), m_EndPointName(nullptr), m_EndPointAddress(nullptr), m_Domain(nullptr),
      m_Socket(KES_INVALID_SOCKET), m_HashKey(nullptr), m_ConnectionConfirmed(FALSE), m_Dynamic(true)
{
}

CKesSockEnd::CKesSockEnd(char* serviceName, sockaddr* address, char* domain, unsigned int socket)
    : CKesSockEnd()
{
    if (!serviceName || !address || !domain || socket == KES_INVALID_SOCKET) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__,
                  "Incomplete end point: service, address, domain and socket are required.");
        return;
    }
    m_ServiceName = serviceName;
    m_EndPointAddress = address;
    m_Domain = domain;
    m_Socket = socket;
    HoldSocket(socket);
}

CKesSockEnd::CKesSockEnd(const CKesSockEnd& other) : CKesSockEnd()
{
    m_ConnectionConfirmed = other.m_ConnectionConfirmed;
    m_Dynamic = other.m_Dynamic;
    m_ServiceName = DupText(other.m_ServiceName, __LINE__);
    m_EndPointName = DupText(other.m_EndPointName, __LINE__);
    m_Domain = DupText(other.m_Domain, __LINE__);
    m_HashKey = DupText(other.m_HashKey, __LINE__);
    if (other.m_EndPointAddress) {
        m_EndPointAddress = static_cast<sockaddr*>(std::malloc(sizeof(sockaddr_in)));
        if (m_EndPointAddress)
            std::memcpy(m_EndPointAddress, other.m_EndPointAddress, sizeof(sockaddr_in));
        else
            CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
    }
    m_Socket = other.m_Socket;
    HoldSocket(m_Socket);
}

CKesSockEnd::~CKesSockEnd() { Clear(); }

void CKesSockEnd::Clear()
{
    std::free(m_ServiceName);
    std::free(m_EndPointName);
    std::free(m_EndPointAddress);
    std::free(m_Domain);
    std::free(m_HashKey);
    m_ServiceName = m_EndPointName = m_Domain = m_HashKey = nullptr;
    m_EndPointAddress = nullptr;
    if (DropSocket(m_Socket)) KesCloseSocket(m_Socket);
    m_Socket = KES_INVALID_SOCKET;
}

CKesListable* CKesSockEnd::KLTargetDeepCopy(const CKesListable* source)
{
    auto* from = dynamic_cast<const CKesSockEnd*>(source);
    if (!from) return nullptr;
    return new (std::nothrow) CKesSockEnd(*from);
}

int CKesSockEnd::KSESetServiceName(char* serviceName) { return KesTakeOver(m_ServiceName, serviceName); }

int CKesSockEnd::KSESetEndPointName(char* endPointName) { return KesTakeOver(m_EndPointName, endPointName); }

int CKesSockEnd::KSESetEndPointDomain(char* domain) { return KesTakeOver(m_Domain, domain); }

int CKesSockEnd::KSESetEndPointAddress(sockaddr* address) { return KesTakeOver(m_EndPointAddress, address); }

int CKesSockEnd::KSESetEndPointAddress(const char* address, int port)
{
    if (!address || port < 0) return KES_ERR_ARGUMENT;
    if (KesTraceOn(4)) KesTrace("CKesSockEnd::KSESetEndPointAddress(%s, %d)\n", address, port);
    auto* block = static_cast<sockaddr_in*>(std::calloc(1, sizeof(sockaddr_in)));
    if (!block) {
        // The old address stays: the record never points at a missing block.
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return KES_ERR_ALLOCATION;
    }
    block->sin_family = AF_INET;
    block->sin_addr.s_addr = std::strcmp(address, "0.0.0.0") == 0 ? 0 : inet_addr(address);
    block->sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    return KesTakeOver(m_EndPointAddress, reinterpret_cast<sockaddr*>(block));
}

int CKesSockEnd::KSESetEndPointSocket(unsigned int socket)
{
    if (socket == KES_INVALID_SOCKET) return KES_ERR_INVALID_SOCKET;
    if (socket == m_Socket) return 1;
    DropSocket(m_Socket);
    m_Socket = socket;
    HoldSocket(socket);
    return 1;
}

unsigned int CKesSockEnd::KSEReleaseEndPointSocket()
{
    const unsigned int socket = m_Socket;
    DropSocket(socket);
    m_Socket = KES_INVALID_SOCKET;
    return socket;
}

void CKesSockEnd::KSESetDynamic(bool dynamic) { m_Dynamic = dynamic; }

void CKesSockEnd::KSEConfirmConnection(__boolean confirmed) { m_ConnectionConfirmed = confirmed; }

char* CKesSockEnd::KSEGetServiceName() const { return m_ServiceName; }

char* CKesSockEnd::KSEGetEndPointName() const { return m_EndPointName; }

char* CKesSockEnd::KSEGetEndPointDomain() const { return m_Domain; }

sockaddr* CKesSockEnd::KSEGetEndPointAddress() const { return m_EndPointAddress; }

unsigned int CKesSockEnd::KSEGetEndPointSocket() const { return m_Socket; }

__boolean CKesSockEnd::KSEIsConnectionConfirmed() const { return m_ConnectionConfirmed; }

bool CKesSockEnd::KSEGetDynamic() const { return m_Dynamic; }

char* CKesSockEnd::KSEGetEndPtIpAddress() const
{
    if (!m_EndPointAddress) return nullptr;
    return KesGetIPStr(AsIPv4(m_EndPointAddress)->sin_addr.s_addr);
}

unsigned long CKesSockEnd::KSEGetEndPtIpAddressLong() const
{
    if (!m_EndPointAddress) return 0;
    return AsIPv4(m_EndPointAddress)->sin_addr.s_addr;
}

unsigned int CKesSockEnd::KSEGetEndPtAddressPort() const
{
    if (!m_EndPointAddress) return 0;
    return ntohs(AsIPv4(m_EndPointAddress)->sin_port);
}

char* CKesSockEnd::KSEGetEndPointSocketStr() const
{
    if (m_Socket == KES_INVALID_SOCKET) return nullptr;
    char* text = CKesAtom(static_cast<int>(m_Socket)).KAStrRep();
    if (!text) CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
    return text;
}

char* CKesSockEnd::KSEGetHashKey()
{
    if (m_HashKey) return m_HashKey;
    if (!m_ServiceName || !m_Domain) return nullptr;
    m_HashKey = FormatText(__LINE__, "%s.%s", m_Domain, m_ServiceName);
    return m_HashKey;
}

char* CKesSockEnd::KSEGetServiceLine() const
{
    char* address = KSEGetEndPtIpAddress();
    char* port = CKesAtom(static_cast<long>(KSEGetEndPtAddressPort())).KAStrRep();
    char* line = nullptr;
    const bool complete = m_ServiceName && m_Domain && address && port;
    if (complete && !m_EndPointName)
        line = FormatText(__LINE__, "SERVICE: %s DOMAIN: %s ADDRESS: %s PORT: %s%s", m_ServiceName, m_Domain,
                          address, port, "\r\n");
    if (complete && m_EndPointName)
        line = FormatText(
            __LINE__, "SERVICE: %s DOMAIN: %s ADDRESS: %s PORT: %s SERVERNAME: %s DYNAMIC: %s%s",
            m_ServiceName, m_Domain, address, port, m_EndPointName, m_Dynamic ? "YES" : "NO", "\r\n");
    std::free(address);
    std::free(port);
    return line;
}

CKesRecord* CKesSockEnd::KSEGetAddressRequestPacket() const
{
    if (!m_ServiceName || !m_Domain) return nullptr;
    auto* record = new (std::nothrow) CKesRecord();
    if (!record) return nullptr;
    const bool built = AddText(record, ms_DataField, ms_DataField) &&
                       AddText(record, ms_AddressRequest, ms_AddressRequest) &&
                       AddText(record, ms_ServiceNameField, m_ServiceName) &&
                       AddText(record, ms_DomainNameField, m_Domain);
    if (built) return record;
    delete record;
    return nullptr;
}

CKesRecord* CKesSockEnd::KSEGetAddressReplyPacket() const
{
    if (!m_ServiceName || !m_Domain || !m_EndPointAddress) return nullptr;
    char* address = KSEGetEndPtIpAddress();
    if (!address) {
        // A reply without an address would send the asking client nowhere.
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__,
                  "Cannot render the end point address for an address reply.");
        return nullptr;
    }
    auto* record = new (std::nothrow) CKesRecord();
    bool built = record && AddText(record, ms_DataField, ms_DataField) &&
                 AddText(record, ms_AddressReply, ms_AddressReply) &&
                 AddText(record, ms_ServiceNameField, m_ServiceName) &&
                 AddText(record, ms_DomainNameField, m_Domain) && AddText(record, ms_AddressField, address) &&
                 AddInt(record, ms_PortField, static_cast<int>(KSEGetEndPtAddressPort()));
    std::free(address);
    if (built) return record;
    delete record;
    return nullptr;
}

void CKesSockEnd::KSEDump() const
{
    std::string text = "SockEnd: ";
    if (m_ServiceName) text += std::string("ServiceName::") + m_ServiceName + " ";
    if (m_EndPointName) text += std::string("EndPointName::") + m_EndPointName + " ";
    if (m_EndPointAddress) {
        char* address = KSEGetEndPtIpAddress();
        text += std::string("EndPointAddress::") + (address ? address : "") + " ";
        std::free(address);
    }
    if (m_Domain) text += std::string("Domain::") + m_Domain + " ";
    if (m_HashKey) text += std::string("HashKey::") + m_HashKey + " ";
    text += "Socket::" + std::to_string(m_Socket) + "\n";
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

CKesRecord* CKesSockEnd::KSEGetClientIdPacket(const char* clientId)
{
    if (!clientId) return nullptr;
    auto* record = new (std::nothrow) CKesRecord();
    if (!record) return nullptr;
    if (AddText(record, ms_ClientIdField, clientId)) return record;
    delete record;
    return nullptr;
}

CKesRecord* CKesSockEnd::KSEGetKeepAlivePacket()
{
    auto* record = new (std::nothrow) CKesRecord();
    if (!record) return nullptr;
    if (AddText(record, ms_KeepAliveField, ms_KeepAliveValue)) return record;
    delete record;
    return nullptr;
}
