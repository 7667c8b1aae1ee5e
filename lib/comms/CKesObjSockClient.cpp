// CKesObjSockClient: finding, connecting to and talking with one service's
// server. See the header for threads, locks and ownership.
#include "CKesObjSockClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

#include "CKesAtom.h"
#include "CKesAutoMutex.h"
#include "CKesEnv.h"
#include "CKesError.h"
#include "CKesFileDescriptor.h"
#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

namespace {

const char* const kSource = "CKesObjSockClient";

constexpr int kMissingValue = KES_ERR_ARGUMENT;
constexpr int kNoMemory = KES_ERR_ALLOCATION;
constexpr int kMissingObject = KES_ERR_MISSING;
constexpr int kSendFailed = KES_ERR_SEND;
constexpr int kSocketFailed = KES_ERR_SOCKET_CREATE;
constexpr int kConnectFailed = KES_ERR_CONNECTION;
constexpr int kNoAddress = KES_ERR_NO_SERVER_ADDRESS;
constexpr int kPeerUnknown = KES_ERR_PEER_ADDRESS;

constexpr long kRetrySeconds = 3;         // between attempts while unconnected
constexpr long kKeepAliveSeconds = 10;    // between keep-alives while connected
constexpr unsigned int kGreetingDelayMs = 2000; // registration to client id
constexpr unsigned int kSendWaitStepMs = 10000; // one step of a send's wait
constexpr int kSendWaitSteps = 7;               // at most 70 seconds

const char* Printable(const char* text) { return text ? text : "NULL"; }

// Length of a buffer written "as text": up to its first zero byte.
int TextLength(const unsigned char* bytes, unsigned int length)
{
    const void* zero = memchr(bytes, 0, length);
    const unsigned int end = zero ? static_cast<unsigned int>(static_cast<const unsigned char*>(zero) - bytes) : length;
    return static_cast<int>(end);
}

}  // namespace

// ---- construction -----------------------------------------------------------

CKesObjSockClient::CKesObjSockClient()
    : m_ClientId(nullptr), m_ServiceName(nullptr), m_Domain(nullptr),
      m_TCPSocket(KES_INVALID_SOCKET), m_ClientData(nullptr), m_State(KES_UNCONNECTED),
      m_Controller(nullptr), m_Multicast(nullptr), m_ShuttingDown(false),
      m_AnnouncedServer(nullptr)
{
}

CKesObjSockClient::CKesObjSockClient(char* clientId) : CKesObjSockClient()
{
    if (clientId)
        m_ClientId = clientId;
}

CKesObjSockClient::CKesObjSockClient(const CKesObjSockClient&) : CKesObjSockClient()
{
    fprintf(stderr, "ERROR: This is a private copy constructor which should not\n");
    fprintf(stderr, " be used.\n");
    CKesError(kMissingValue, kSource, __LINE__, nullptr);
}

CKesObjSockClient::~CKesObjSockClient()
{
    KOSCStopConnectThread();
    {
        CKesAutoMutex hold(m_ClientLock);
        CKesAutoMutex sending(m_SendLock);
        CloseSocket();
        m_State = KES_UNCONNECTED;
    }
    SwapServerData(nullptr);
    DropAnnouncedServer();
    free(m_ClientId);
    free(m_ServiceName);
    free(m_Domain);
}

void CKesObjSockClient::KOSCStopConnectThread()
{
    {
        // Set under the thread lock: the thread checks the flag under it
        // before every wait, so the broadcast cannot be missed.
        CKesThread::AutoMutex hold(m_ConnThread);
        m_ShuttingDown = true;
        m_ConnThread.KTBroadcast();
    }
    m_ConnThread.KTJoinThread();  // a thread never started (or joined) is no error here
}

// ---- host callbacks (defaults) ------------------------------------------------

void CKesObjSockClient::KesOnClientIO(CKesSockEnd*, CKesRecord* record)
{
    delete record;
}

void CKesObjSockClient::KOSCOnClientConnect() {}

void CKesObjSockClient::KOSCOnClientDisconnect() {}

// ---- setters and getters ------------------------------------------------------

int CKesObjSockClient::KOSCSetClientId(char* clientId) { return KesTakeOver(m_ClientId, clientId); }
int CKesObjSockClient::KOSCSetServiceName(char* serviceName) { return KesTakeOver(m_ServiceName, serviceName); }
int CKesObjSockClient::KOSCSetDomain(char* domain) { return KesTakeOver(m_Domain, domain); }

int CKesObjSockClient::KOSCSetMulticastPtr(CKesObjMulticast* multicast)
{
    if (!multicast)
        return kMissingValue;
    m_Multicast = multicast;
    return 1;
}

int CKesObjSockClient::KOSCSetController(CKesSockEngine* controller)
{
    if (!controller)
        return kMissingValue;
    m_Controller = controller;
    return 1;
}

char* CKesObjSockClient::KOSCGetClientId() { return m_ClientId; }
char* CKesObjSockClient::KOSCGetServiceName() { return m_ServiceName; }
char* CKesObjSockClient::KOSCGetDomain() { return m_Domain; }
unsigned int CKesObjSockClient::KOSCGetClientTCPSocket() { return m_TCPSocket; }
CKesSockEnd* CKesObjSockClient::KOSCGetClientData() { return m_ClientData; }
CKesSockEnd* CKesObjSockClient::KOSCGetServerData() { return ServerSnapshot().get(); }
CKesObjMulticast* CKesObjSockClient::KOSCGetMulticastPtr() { return m_Multicast; }
CKesSockEngine* CKesObjSockClient::KOSCGetController() { return m_Controller; }
CKesThread& CKesObjSockClient::KOSCGetConnThread() { return m_ConnThread; }
bool CKesObjSockClient::KOSCShuttingDown() const { return m_ShuttingDown; }

EKesConnectState CKesObjSockClient::KOSCGetState()
{
    // Under the ClientLock so that a reader waits for an attempt to end.
    CKesAutoMutex hold(m_ClientLock);
    return m_State;
}

// ---- server endpoint hand-over ---------------------------------------------------

// Replaces the endpoint in use (caller holds the ClientLock) and returns the
// old one, which is freed when the caller and every callback reading it let go.
std::shared_ptr<CKesSockEnd> CKesObjSockClient::SwapServerData(CKesSockEnd* server)
{
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
    if (result != 1)
        CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

int CKesObjSockClient::KOSCStartConnectThread()
{
    if (KesTraceOn(3))
        KesTrace("CKesObjSockClient::KOSCStartConnectThread().\n");
    const int result = m_ConnThread.KTCreateThread(ClientConnectThread, this, 1);
    if (result != 1)
        CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

void* CKesObjSockClient::ClientConnectThread(void* argument)
{
    auto* client = static_cast<CKesObjSockClient*>(argument);
    if (!client) {
        CKesError(kMissingObject, kSource, __LINE__, "The socket client connect thread has a null client.");
        return nullptr;
    }
    client->ConnectThreadLoop();
    return nullptr;
}

void CKesObjSockClient::ConnectThreadLoop()
{
    while (!KOSCShuttingDown()) {
        CKesThread::AutoMutex hold(m_ConnThread);
        if (!ConnectThreadPass())
            return;
    }
}

// One pass with the thread lock held; false ends the thread.
bool CKesObjSockClient::ConnectThreadPass()
{
    if (KOSCGetState() == KES_UNCONNECTED) {
        if (KOSCConnect() != 1)
            ReportRetry();
        return WaitOnConnThread(kRetrySeconds);
    }
    if (!WaitOnConnThread(kKeepAliveSeconds))
        return false;
    CKesRecord* keepAlive = CKesSockEnd::KSEGetKeepAlivePacket();
    KOSCSendToServer(keepAlive);  // a lost keep-alive is noticed by nobody
    delete keepAlive;
    return true;
}

// True when the wait ran its full time; a broadcast (or shutting down) ends
// the thread.
bool CKesObjSockClient::WaitOnConnThread(long seconds)
{
    if (KOSCShuttingDown())
        return false;
    return m_ConnThread.KTConditionRelTimedWaitNoLock(seconds, 0) == KES_TIMED_WAIT_EXPIRED;
}

void CKesObjSockClient::ReportRetry()
{
    if (!KesTraceOn(1))
        return;
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
    if (KesTraceOn(3))
        KesTrace("Locked!\n");
    m_State = KES_CONNECTING;

    const int result = (m_ServiceName && m_Domain) ? AttemptWithLock() : kMissingValue;

    if (m_State != KES_CONNECTED && m_State != KES_SOCKET_CONNECTED) {
        m_State = KES_UNCONNECTED;
        if (KesTraceOn(3))
            KesTrace("CKesObjSockClient::KOSCConnect() failed.\n");
        forgotten = SwapServerData(nullptr);  // the next attempt looks the server up again
    } else {
        if (KesTraceOn(3))
            KesTrace("CKesObjSockClient::KOSCConnect() succeeded.\n");
        m_State = KES_CONNECTED;
    }
    if (KesTraceOn(3))
        KesTrace("Trying to unlock the ClientLock - KOSCConnect(%s).\n", Printable(m_ServiceName));
    m_ClientLock.Unlock();

    if (KOSCGetState() == KES_CONNECTED)
        KOSCOnClientConnect();
    return result;
}

// The body of an attempt, ClientLock held, service name and domain set.
int CKesObjSockClient::AttemptWithLock()
{
    int result = 1;
    if (ServerSnapshot())
        DropAnnouncedServer();  // a reply that came while a server was known is ignored
    else
        AdoptAnnouncedServer();

    if (!ServerSnapshot()) {
        CKesSockEnd* found = KOSCFindServerData();
        if (found) {
            SwapServerData(found);
        } else {
            if (__Kesworks_Debug_Level != 0)
                KesTrace("CurrData is NULL, sending Address Req\n");
            return KOSCSendAddressRequest();
        }
    }

    if (m_TCPSocket != KES_INVALID_SOCKET) {
        CKesAutoMutex sending(m_SendLock);
        CloseSocket();
    }
    result = KOSCOpenTCPSocket();
    if (result != 1)
        CKesError(result, kSource, __LINE__, nullptr);
    if (m_TCPSocket == KES_INVALID_SOCKET)
        return result;

    result = KOSCConnectSocketToServer();
    if (result != 1 && result != kConnectFailed) {
        ForgetFailedSocket();
        CKesError(result, kSource, __LINE__, nullptr);
    }
    return result;
}

// A greeting that failed leaves a registered socket behind: take it off the
// engine and close it so that no stale registration outlives the attempt.
void CKesObjSockClient::ForgetFailedSocket()
{
    const bool registered = (m_State == KES_SOCKET_CONNECTED);
    m_State = KES_UNCONNECTED;
    if (registered && m_Controller) {
        const int closed = m_Controller->KSECloseClientIO(this);
        if (closed != 1)
            CKesError(closed, kSource, __LINE__, nullptr);
    }
    CKesAutoMutex sending(m_SendLock);
    CloseSocket();
}

// Caller holds the ClientLock and, while other senders may run, m_SendLock.
void CKesObjSockClient::CloseSocket()
{
    const unsigned int socket = m_TCPSocket.exchange(KES_INVALID_SOCKET);
    if (socket != KES_INVALID_SOCKET)
        KesCloseSocket(socket);
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
    if (!entry)
        return nullptr;
    return new CKesSockEnd(*entry);
}

int CKesObjSockClient::KOSCSendAddressRequest()
{
    if (!m_Multicast)
        return kMissingValue;
    CKesRecord* request = KOSCBuildAddressRequest();
    if (!request)
        return kMissingValue;
    const int result = m_Multicast->KOMSendPacket(request);
    delete request;
    return result;
}

CKesRecord* CKesObjSockClient::KOSCBuildAddressRequest()
{
    if (!m_Domain || !m_ServiceName)
        return nullptr;
    CKesSockEnd asked;
    char* service = strdup(m_ServiceName);
    if (!service) {
        CKesError(kNoMemory, kSource, __LINE__, nullptr);
        return nullptr;
    }
    if (asked.KSESetServiceName(service) != 1) {
        free(service);
        return nullptr;
    }
    char* domain = strdup(m_Domain);
    if (!domain) {
        CKesError(kNoMemory, kSource, __LINE__, nullptr);
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
    if (KesTraceOn(3))
        KesTrace("CKesObjSockClient::KOSCProcessAddressReply(rec).\n");
    if (!reply || !m_Domain || !m_ServiceName || ServerSnapshot())
        return 1;
    const CKesAtom* service = reply->KRValueOf(CKesSockEnd::ms_ServiceNameField);
    const CKesAtom* domain = reply->KRValueOf(CKesSockEnd::ms_DomainNameField);
    if (!service || !domain)
        return 1;
    KesHeapText serviceText(service->KAStrRep());
    KesHeapText domainText(domain->KAStrRep());
    if (!serviceText.get() || !domainText.get())
        return 1;
    if (strcmp(domainText.get(), m_Domain) != 0 || strcmp(serviceText.get(), m_ServiceName) != 0)
        return 1;
    const CKesAtom* address = reply->KRValueOf(CKesSockEnd::ms_AddressField);
    const CKesAtom* port = reply->KRValueOf(CKesSockEnd::ms_PortField);
    if (!address || !port)
        return 1;
    return KOSCBuildServerData(domainText.release(), serviceText.release(), address->KAStrRep(), port->KAInt());
}

int CKesObjSockClient::KOSCBuildServerData(char* domain, char* serviceName, char* address, int port)
{
    KesHeapText domainText(domain);
    KesHeapText serviceText(serviceName);
    KesHeapText addressText(address);  // the endpoint keeps the address in its own block

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
        CKesError(kMissingValue, kSource, __LINE__, nullptr);
        return kMissingValue;
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
    return kSocketFailed;
}

int CKesObjSockClient::KOSCConnectSocketToServer()
{
    std::shared_ptr<CKesSockEnd> server = ServerSnapshot();
    if (!server)
        return kConnectFailed;
    sockaddr* address = server->KSEGetEndPointAddress();
    if (!address)
        return kNoAddress;

    int connected;
    do {
        connected = connect(static_cast<int>(m_TCPSocket.load()), address, KES_SOCKADDR_IN_LEN);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) {
        if (KesTraceOn(1)) {
            KesReportSocketError(m_TCPSocket, "Connect Failed");
            CKesError(kConnectFailed, kSource, __LINE__, nullptr);
            fflush(stdout);
        }
        return kConnectFailed;
    }

    m_State = KES_SOCKET_CONNECTED;
    int result = KOSCResetServerAddress();
    if (result != 1)
        CKesError(result, kSource, __LINE__, nullptr);
    result = KOSCConnectIO();
    if (result != 1)
        CKesError(result, kSource, __LINE__, nullptr);
    KesSleep(kGreetingDelayMs);
    return KOSCSendClientId();
}

int CKesObjSockClient::KOSCResetServerAddress()
{
    std::shared_ptr<CKesSockEnd> server = ServerSnapshot();
    sockaddr* address = server ? server->KSEGetEndPointAddress() : nullptr;
    if (!address) {
        CKesError(kMissingValue, kSource, __LINE__, nullptr);
        return kMissingValue;
    }
    const in_addr_t stored = reinterpret_cast<sockaddr_in*>(address)->sin_addr.s_addr;
    if (stored != htonl(INADDR_ANY) && stored != htonl(INADDR_NONE))
        return 1;
    socklen_t length = KES_SOCKADDR_IN_LEN;
    if (getpeername(static_cast<int>(m_TCPSocket.load()), address, &length) != 0) {
        KesReportSocketError(m_TCPSocket, "getpeername() failed");
        CKesError(kPeerUnknown, kSource, __LINE__, nullptr);
    }
    return 1;
}

int CKesObjSockClient::KOSCConnectIO()
{
    if (KesTraceOn(3))
        KesTrace("CKesObjSockClient::KOSCConnectIO().\n");
    if (m_TCPSocket == KES_INVALID_SOCKET)
        return kMissingValue;
    int result = 1;
    if (m_Controller) {
        result = m_Controller->KSEAddClientIO(this);
        if (result != 1)
            CKesError(result, kSource, __LINE__, nullptr);
    }
    if (KesTraceOn(3))
        KesTrace("leaving CKesObjSockClient::KOSCConnectIO().\n");
    return result;
}

void CKesObjSockClient::KOSCIsUnconnected()
{
    std::shared_ptr<CKesSockEnd> forgotten;
    CKesAutoMutex hold(m_ClientLock);
    forgotten = ForgetServer();
}

// Caller holds the ClientLock. Returns the endpoint to let go of after the
// lock is released.
std::shared_ptr<CKesSockEnd> CKesObjSockClient::ForgetServer()
{
    DropAnnouncedServer();
    m_State = KES_UNCONNECTED;
    return SwapServerData(nullptr);
}

// The server closed the connection on this socket. The socket leaves the
// engine before the state turns KES_UNCONNECTED, under the ClientLock: from
// then on the connect thread may close the socket and get the same handle
// back for its next connection, which a late deregistration would cut off.
int CKesObjSockClient::ServerClosed(unsigned int socket)
{
    int result = 1;
    std::shared_ptr<CKesSockEnd> forgotten;
    {
        CKesAutoMutex hold(m_ClientLock);
        if (socket != m_TCPSocket)
            return 1;  // that connection has been replaced meanwhile
        if (m_Controller) {
            result = m_Controller->KSECloseClientIO(this);
            if (result != 1)
                CKesError(result, kSource, __LINE__, nullptr);
        }
        forgotten = ForgetServer();
    }
    KOSCOnClientDisconnect();
    return result;
}

// ---- traffic ----------------------------------------------------------------------

int CKesObjSockClient::KOSCSendToServer(unsigned char* buffer, unsigned int length)
{
    if (!buffer || length == 0)
        return kMissingValue;
    EKesConnectState state = KOSCGetState();
    const char* form = "2";
    if (state == KES_CONNECTING || state == KES_SOCKET_CONNECTED) {
        state = WaitForConnection();
        form = "1";
    }
    if (state != KES_CONNECTED)
        return kSendFailed;
    if (KesTraceOn(4))
        KesTrace("KOSCSendToServer %s: Sending packet to server %.*s packetLength %u at %ld\n", form,
                 TextLength(buffer, length), reinterpret_cast<const char*>(buffer), length,
                 static_cast<long>(time(nullptr)));
    return SendFrame(buffer, length);
}

// Waits, holding no lock, in 10-second steps (at most seven) for a
// connection made outside an attempt's lock; stops early when shutting down.
EKesConnectState CKesObjSockClient::WaitForConnection()
{
    EKesConnectState state = KOSCGetState();
    for (int step = 0; step < kSendWaitSteps && state != KES_CONNECTED; ++step) {
        if (KOSCShuttingDown())
            break;
        KesSleep(kSendWaitStepMs);
        state = KOSCGetState();
        if (KesTraceOn(4))
            KesTrace("KOSC Send waiting for connect.\n");
    }
    return state;
}

// One whole frame under m_SendLock. The state is checked again under the
// lock: whoever closes or replaces the socket holds m_SendLock, so a frame
// never goes to a socket that was closed, reused, or not yet greeted.
int CKesObjSockClient::SendFrame(const unsigned char* frame, unsigned int length)
{
    CKesAutoMutex hold(m_SendLock);
    const unsigned int socket = m_TCPSocket;
    if (m_State != KES_CONNECTED || socket == KES_INVALID_SOCKET)
        return kSendFailed;
    return KesSendAll(socket, frame, length) == 0 ? 1 : kSendFailed;
}

int CKesObjSockClient::KOSCSendToServer(CKesRecord* record)
{
    if (!record)
        return kMissingValue;
    CKesRecHdr frame;
    int result = frame.KRHFrameRecord(*record);
    if (result != 1) {
        CKesError(result, kSource, __LINE__, nullptr);
        return result;
    }
    result = KOSCSendToServer(frame.KRHGetData(), static_cast<unsigned int>(frame.KRHGetTotalLen()));
    if (result != 1)
        CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

int CKesObjSockClient::KOSCSendClientId()
{
    if (KesTraceOn(4))
        KesTrace("CKesObjSockClient::KOSCSendClientId().\n");
    if (!m_ClientId)
        return kMissingValue;

    CKesRecord greeting;
    int result = greeting.KRAddValue(CKesSockEnd::ms_ClientIdField, m_ClientId);
    if (result != 1)
        CKesError(result, kSource, __LINE__, nullptr);

    CKesRecHdr frame;
    const int encodedResult = frame.KRHFrameRecord(greeting);
    if (encodedResult != 1) {
        CKesError(encodedResult, kSource, __LINE__, nullptr);
        return encodedResult;
    }
    const unsigned int frameLength = static_cast<unsigned int>(frame.KRHGetTotalLen());
    if (KesTraceOn(4) && frame.KRHGetData())
        KesTrace("KOSCSendClientId: Sending client Id to server %.*s packetLength %u at %ld\n",
                 TextLength(frame.KRHGetKOMPData(), static_cast<unsigned int>(frame.KRHGetDataLen())),
                 reinterpret_cast<const char*>(frame.KRHGetKOMPData()), frameLength,
                 static_cast<long>(time(nullptr)));
    // No m_SendLock: this runs inside the attempt in KES_SOCKET_CONNECTED,
    // when no other sender is admitted, so the greeting is the first frame
    // on the socket.
    if (!frame.KRHGetData() || KesSendAll(m_TCPSocket, frame.KRHGetData(), frameLength) != 0)
        result = kSendFailed;
    return result;
}

int CKesObjSockClient::KOSCProcessPacket(CKesIOWorkPacket* workPacket)
{
    if (!workPacket)
        return kMissingValue;
    const unsigned int socket = workPacket->KIWPGetSocket();
    if (socket == KES_INVALID_SOCKET || socket != m_TCPSocket)
        return 1;

    if (workPacket->KIWPGetPacketLength() == 0)
        return ServerClosed(socket);

    // The callback reads the endpoint through a counted reference, so a
    // loss of the server meanwhile cannot free it under the host's feet.
    std::shared_ptr<CKesSockEnd> server = ServerSnapshot();
    KesOnClientIO(server.get(), workPacket->KIWPGetRecord());
    return 1;
}

int CKesObjSockClient::KOSCDisconnect()
{
    int result = 1;
    if (KesTraceOn(4))
        KesTrace("Trying to lock the ClientLock - KOSCDisconnect(%s).\n", Printable(m_ServiceName));
    CKesAutoMutex hold(m_ClientLock);
    m_State = KES_UNCONNECTED;
    if (m_TCPSocket == KES_INVALID_SOCKET)
        return result;
    if (m_Controller) {
        result = m_Controller->KSECloseClientIO(this);
        if (result != 1)
            CKesError(result, kSource, __LINE__, nullptr);
    }
    CKesAutoMutex sending(m_SendLock);
    CloseSocket();
    return result;
}
