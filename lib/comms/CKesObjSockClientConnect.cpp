// CKesObjSockClient: finding the server (service file, then a multicast
// address request and its reply), the connect thread with its attempts and
// keep-alives, and connecting a socket. Construction and the traffic on an
// open connection are in CKesObjSockClient.cpp. See the header for threads,
// locks and ownership.
#include "CKesObjSockClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "CKesAtom.h"
#include "CKesAutoMutex.h"
#include "CKesEnv.h"
#include "CKesError.h"
#include "CKesFileDescriptor.h"
#include "CKesInstallationKey.h"
#include "CKesObjMulticast.h"
#include "CKesRecord.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesCheck.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

namespace {

const char* const kSource = "CKesObjSockClient";

constexpr long kRetrySeconds = 3;               // between attempts while unconnected
constexpr long kKeepAliveSeconds = 10;          // between keep-alives while connected
constexpr unsigned int kGreetingDelayMs = 2000; // registration to client id

// The rule the ClientLock helpers check (read only when checks are compiled in).
[[maybe_unused]] const char* const kHoldsClientLock = "caller holds the ClientLock";

const char* Printable(const char* text) { return text ? text : "NULL"; }

// How long data sent to the server may stay unacknowledged before the system
// drops the connection: the engine's bound, on the time scale. Keep-alives
// put data on the wire every 10 s, so a server that vanished without closing
// is noticed within the keep-alive interval plus this bound; it also bounds
// a connect to a server that does not answer.
unsigned int UnackedLimitMs(const CKesSockEngine* engine)
{
    const int limit = engine ? engine->KSEGetUnackedLimit() : CKesSockEngine::ms_DefaultUnackedLimitMs;
    return static_cast<unsigned int>(std::max(1.0, limit * KesTimeScale()));
}

} // namespace

// ---- server endpoint hand-over ---------------------------------------------------

// Caller holds the ClientLock. Replaces the endpoint in use and returns the
// old one, which is freed when the caller and every callback reading it let go.
std::shared_ptr<CKesSockEnd> CKesObjSockClient::SwapServerData(CKesSockEnd* server)
{
    KES_CHECK(m_ClientLock.IsHeldByMe(), kHoldsClientLock);
    std::shared_ptr<CKesSockEnd> replacement(server);
    CKesAutoMutex hold(m_ServerLock);
    m_ServerData.swap(replacement);
    return replacement;
}

std::shared_ptr<CKesSockEnd> CKesObjSockClient::ServerSnapshot()
{
    CKesAutoMutex hold(m_ServerLock);
    return m_ServerData;
}

// An endpoint announced by an address reply waits here for the connect
// thread; the first one wins.
void CKesObjSockClient::ParkAnnouncedServer(CKesSockEnd* server)
{
    CKesSockEnd* unused = server;
    {
        CKesAutoMutex hold(m_ServerLock);
        if (!m_AnnouncedServer && !m_ServerData) {
            m_AnnouncedServer = server;
            unused = nullptr;
        }
    }
    delete unused;
}

// Caller holds the ClientLock. An announced endpoint becomes the one in use
// only while none is in use; otherwise it is ignored.
void CKesObjSockClient::AdoptAnnouncedServer()
{
    KES_CHECK(m_ClientLock.IsHeldByMe(), kHoldsClientLock);
    CKesSockEnd* announced = nullptr;
    {
        CKesAutoMutex hold(m_ServerLock);
        announced = m_AnnouncedServer;
        m_AnnouncedServer = nullptr;
        if (!m_ServerData) {
            m_ServerData.reset(announced);
            announced = nullptr;
        }
    }
    delete announced;
}

void CKesObjSockClient::DropAnnouncedServer()
{
    CKesSockEnd* announced = nullptr;
    {
        CKesAutoMutex hold(m_ServerLock);
        announced = m_AnnouncedServer;
        m_AnnouncedServer = nullptr;
    }
    delete announced;
}

// ---- the connect thread -----------------------------------------------------------

int CKesObjSockClient::KOSCInitialise()
{
    const int result = KOSCStartConnectThread();
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

int CKesObjSockClient::KOSCStartConnectThread()
{
    if (KesTraceOn(3)) KesTrace("CKesObjSockClient::KOSCStartConnectThread().\n");
    const int result = m_ConnThread.KTCreateThread(ClientConnectThread, this, 1);
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

void* CKesObjSockClient::ClientConnectThread(void* argument)
{
    auto* client = static_cast<CKesObjSockClient*>(argument);
    if (!client) {
        CKesError(KES_ERR_MISSING, kSource, __LINE__, "The socket client connect thread has a null client.");
        return nullptr;
    }
    client->ConnectThreadLoop();
    return nullptr;
}

void CKesObjSockClient::ConnectThreadLoop()
{
    while (!KOSCShuttingDown()) {
        CKesThread::AutoMutex hold(m_ConnThread);
        if (!ConnectThreadPass()) return;
    }
}

// One pass with the thread lock held: while unconnected an attempt, then a
// 3 s wait; otherwise a 10 s wait, then a keep-alive. False ends the thread.
bool CKesObjSockClient::ConnectThreadPass()
{
    if (KOSCGetState() == KES_UNCONNECTED) {
        if (KOSCConnect() != 1) ReportRetry();
        return WaitOnConnThread(kRetrySeconds);
    }
    if (!WaitOnConnThread(kKeepAliveSeconds)) return false;
    CKesRecord* keepAlive = CKesSockEnd::KSEGetKeepAlivePacket();
    KOSCSendToServer(keepAlive); // a lost keep-alive is noticed by nobody
    delete keepAlive;
    return true;
}

// True when the wait ran its full time; a broadcast (or shutting down) ends
// the thread.
bool CKesObjSockClient::WaitOnConnThread(long seconds)
{
    if (KOSCShuttingDown()) return false;
    return m_ConnThread.KTConditionRelTimedWaitNoLock(seconds, 0) == KES_TIMED_WAIT_EXPIRED;
}

void CKesObjSockClient::ReportRetry()
{
    if (!KesTraceOn(1)) return;
    if (m_Domain)
        KesTrace("Could not connect to a server on domain %s - retrying!\n", m_Domain);
    else
        KesTrace("Could not connect to server - retrying.\n");
}

// ---- one attempt ---------------------------------------------------------------------

int CKesObjSockClient::KOSCConnect()
{
    if (KesTraceOn(3)) {
        KesTrace("Attempting to connect.\n");
        KesTrace("Trying to lock the ClientLock - KOSCConnect(%s).\n", Printable(m_ServiceName));
    }
    std::shared_ptr<CKesSockEnd> forgotten;
    m_ClientLock.Lock();
    if (KesTraceOn(3)) KesTrace("Locked!\n");
    m_State = KES_CONNECTING;

    const int result = (m_ServiceName && m_Domain) ? AttemptWithLock() : KES_ERR_ARGUMENT;

    if (m_State != KES_CONNECTED && m_State != KES_SOCKET_CONNECTED) {
        m_State = KES_UNCONNECTED;
        if (KesTraceOn(3)) KesTrace("CKesObjSockClient::KOSCConnect() failed.\n");
        forgotten = SwapServerData(nullptr); // the next attempt looks the server up again
    } else {
        if (KesTraceOn(3)) KesTrace("CKesObjSockClient::KOSCConnect() succeeded.\n");
        m_State = KES_CONNECTED;
    }
    if (KesTraceOn(3))
        KesTrace("Trying to unlock the ClientLock - KOSCConnect(%s).\n", Printable(m_ServiceName));
    m_ClientLock.Unlock();
    CloseRetiredSockets();

    if (KOSCGetState() == KES_CONNECTED) KOSCOnClientConnect();
    return result;
}

// Caller holds the ClientLock. The body of an attempt, service name and
// domain set.
int CKesObjSockClient::AttemptWithLock()
{
    KES_CHECK(m_ClientLock.IsHeldByMe(), kHoldsClientLock);
    int result = 1;
    if (ServerSnapshot())
        DropAnnouncedServer(); // a reply that came while a server was known is ignored
    else
        AdoptAnnouncedServer();

    if (!ServerSnapshot()) {
        CKesSockEnd* found = KOSCFindServerData();
        if (found) {
            SwapServerData(found);
        } else {
            if (__Kesworks_Debug_Level != 0) KesTrace("CurrData is NULL, sending Address Req\n");
            return KOSCSendAddressRequest();
        }
    }

    if (m_TCPSocket != KES_INVALID_SOCKET) {
        CKesAutoMutex sending(m_SendLock);
        CloseSocket();
    }
    result = KOSCOpenTCPSocket();
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    if (m_TCPSocket == KES_INVALID_SOCKET) return result;

    result = KOSCConnectSocketToServer();
    if (result != 1 && result != KES_ERR_CONNECTION) {
        ForgetFailedSocket();
        CKesError(result, kSource, __LINE__, nullptr);
    }
    return result;
}

// Caller holds the ClientLock. A greeting that failed leaves a registered
// socket behind: take it off the engine and close it so that no stale
// registration outlives the attempt.
void CKesObjSockClient::ForgetFailedSocket()
{
    KES_CHECK(m_ClientLock.IsHeldByMe(), kHoldsClientLock);
    const bool registered = (m_State == KES_SOCKET_CONNECTED);
    m_State = KES_UNCONNECTED;
    if (registered && m_Controller) {
        const int closed = m_Controller->KSECloseClientIO(this);
        if (closed != 1) CKesError(closed, kSource, __LINE__, nullptr);
    }
    CKesAutoMutex sending(m_SendLock);
    CloseSocket();
}

// ---- finding the server ---------------------------------------------------------------

CKesSockEnd* CKesObjSockClient::KOSCFindServerData()
{
    CKesServiceDataParser parser;
    const int parsed = parser.KSDPParseFromFile(CKesEnv::KEServiceFilePath().c_str());
    if (parsed != 1) {
        CKesError(parsed, kSource, __LINE__, nullptr);
        return nullptr;
    }
    CKesSockEnd* entry = parser.KSDPGetServiceData(m_Domain, m_ServiceName);
    if (!entry) return nullptr;
    return new CKesSockEnd(*entry);
}

int CKesObjSockClient::KOSCSendAddressRequest()
{
    if (!m_Multicast) return KES_ERR_ARGUMENT;
    CKesRecord* request = KOSCBuildAddressRequest();
    if (!request) return KES_ERR_ARGUMENT;
    // A member's request carries a nonce, which the reply must bring back.
    int result =
        m_Controller ? m_Controller->KSEGetInstallationKey()->KIKSignRequest(*request, m_ServiceName) : 1;
    if (result == 1) result = m_Multicast->KOMSendPacket(request);
    delete request;
    return result;
}

CKesRecord* CKesObjSockClient::KOSCBuildAddressRequest()
{
    if (!m_Domain || !m_ServiceName) return nullptr;
    CKesSockEnd asked;
    char* service = strdup(m_ServiceName);
    if (!service) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return nullptr;
    }
    if (asked.KSESetServiceName(service) != 1) {
        free(service);
        return nullptr;
    }
    char* domain = strdup(m_Domain);
    if (!domain) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return nullptr;
    }
    if (asked.KSESetEndPointDomain(domain) != 1) {
        free(domain);
        return nullptr;
    }
    return asked.KSEGetAddressRequestPacket();
}

int CKesObjSockClient::KOSCProcessAddressReply(CKesRecord* reply)
{
    if (KesTraceOn(3)) KesTrace("CKesObjSockClient::KOSCProcessAddressReply(rec).\n");
    if (!reply || !m_Domain || !m_ServiceName || ServerSnapshot()) return 1;
    const CKesAtom* service = reply->KRValueOf(CKesSockEnd::ms_ServiceNameField);
    const CKesAtom* domain = reply->KRValueOf(CKesSockEnd::ms_DomainNameField);
    if (!service || !domain) return 1;
    KesHeapText serviceText(service->KAStrRep());
    KesHeapText domainText(domain->KAStrRep());
    if (!serviceText.get() || !domainText.get()) return 1;
    if (strcmp(domainText.get(), m_Domain) != 0 || strcmp(serviceText.get(), m_ServiceName) != 0) return 1;
    const CKesAtom* address = reply->KRValueOf(CKesSockEnd::ms_AddressField);
    const CKesAtom* port = reply->KRValueOf(CKesSockEnd::ms_PortField);
    if (!address || !port) return 1;
    return KOSCBuildServerData(domainText.release(), serviceText.release(), address->KAStrRep(),
                               port->KAInt());
}

int CKesObjSockClient::KOSCBuildServerData(char* domain, char* serviceName, char* address, int port)
{
    KesHeapText domainText(domain);
    KesHeapText serviceText(serviceName);
    KesHeapText addressText(address); // the endpoint keeps the address in its own block

    auto* server = new CKesSockEnd;
    int result = server->KSESetServiceName(serviceText.get());
    if (result == 1) {
        serviceText.release();
        result = server->KSESetEndPointDomain(domainText.get());
    }
    if (result == 1) {
        domainText.release();
        result = server->KSESetEndPointAddress(addressText.get(), port);
    }
    if (result != 1) {
        delete server;
        return result;
    }
    // Handed over, never set directly: this runs on a worker thread while
    // the connect thread may be using the current endpoint.
    ParkAnnouncedServer(server);
    if (m_ClientLock.TryLock()) {
        AdoptAnnouncedServer();
        m_ClientLock.Unlock();
    }
    return result;
}

// ---- connecting ------------------------------------------------------------------

int CKesObjSockClient::KOSCOpenTCPSocket()
{
    if (!ServerSnapshot()) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
        return KES_ERR_ARGUMENT;
    }
    // Close-on-exec: a host that starts other programs must not hand them
    // its connection.
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle >= 0) {
        m_TCPSocket = static_cast<unsigned int>(handle);
        return 1;
    }
    const int error = errno;
    if (CKesFileDescriptor::KFDIsUnavailable(error) == TRUE && CKesFileDescriptor::KFDMakeAvailable() == 0)
        return KOSCOpenTCPSocket();
    return KES_ERR_SOCKET_CREATE;
}

int CKesObjSockClient::KOSCConnectSocketToServer()
{
    std::shared_ptr<CKesSockEnd> server = ServerSnapshot();
    if (!server) return KES_ERR_CONNECTION;
    sockaddr* address = server->KSEGetEndPointAddress();
    if (!address) return KES_ERR_NO_SERVER_ADDRESS;

    const unsigned int limitMs = UnackedLimitMs(m_Controller);
    if (KesSetUserTimeout(m_TCPSocket, limitMs) != 0)
        KesReportSocketError(m_TCPSocket, "Socket option TCP_USER_TIMEOUT failed");
    // Interrupted by a signal, the connect goes on in the background and is
    // waited for, within the same bound the system puts on the handshake.
    if (KesConnect(m_TCPSocket, address, KES_SOCKADDR_IN_LEN, static_cast<int>(limitMs)) != 0) {
        if (KesTraceOn(1)) {
            KesReportSocketError(m_TCPSocket, "Connect Failed");
            CKesError(KES_ERR_CONNECTION, kSource, __LINE__, nullptr);
            fflush(stdout);
        }
        return KES_ERR_CONNECTION;
    }
    // A member goes on only with a server that proves the installation key.
    if (!ProveInstallationKey(*server)) {
        CKesAutoMutex sending(m_SendLock);
        CloseSocket();
        return KES_ERR_CONNECTION;
    }

    m_State = KES_SOCKET_CONNECTED;
    int result = KOSCResetServerAddress();
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    result = KOSCConnectIO();
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    KesSleep(kGreetingDelayMs);
    return KOSCSendClientId();
}

int CKesObjSockClient::KOSCResetServerAddress()
{
    std::shared_ptr<CKesSockEnd> server = ServerSnapshot();
    sockaddr* address = server ? server->KSEGetEndPointAddress() : nullptr;
    if (!address) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
        return KES_ERR_ARGUMENT;
    }
    const in_addr_t stored = reinterpret_cast<sockaddr_in*>(address)->sin_addr.s_addr;
    if (stored != htonl(INADDR_ANY) && stored != htonl(INADDR_NONE)) return 1;
    socklen_t length = KES_SOCKADDR_IN_LEN;
    if (getpeername(static_cast<int>(m_TCPSocket.load()), address, &length) != 0) {
        KesReportSocketError(m_TCPSocket, "getpeername() failed");
        CKesError(KES_ERR_PEER_ADDRESS, kSource, __LINE__, nullptr);
    }
    return 1;
}

int CKesObjSockClient::KOSCConnectIO()
{
    if (KesTraceOn(3)) KesTrace("CKesObjSockClient::KOSCConnectIO().\n");
    if (m_TCPSocket == KES_INVALID_SOCKET) return KES_ERR_ARGUMENT;
    int result = 1;
    if (m_Controller) {
        result = m_Controller->KSEAddClientIO(this);
        if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    }
    if (KesTraceOn(3)) KesTrace("leaving CKesObjSockClient::KOSCConnectIO().\n");
    return result;
}

void CKesObjSockClient::KOSCIsUnconnected()
{
    std::shared_ptr<CKesSockEnd> forgotten;
    std::lock_guard<CKesClientLock> hold(m_ClientLock);
    forgotten = ForgetServer();
}

// Caller holds the ClientLock. Returns the endpoint to let go of after the
// lock is released.
std::shared_ptr<CKesSockEnd> CKesObjSockClient::ForgetServer()
{
    KES_CHECK(m_ClientLock.IsHeldByMe(), kHoldsClientLock);
    DropAnnouncedServer();
    m_State = KES_UNCONNECTED;
    return SwapServerData(nullptr);
}
