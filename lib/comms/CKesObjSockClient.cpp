// CKesObjSockClient: construction, the setters and getters, and the traffic
// on an open connection (sending, the client id, received packets, losing
// the server, disconnecting). Finding and connecting to the server and the
// connect thread are in CKesObjSockClientConnect.cpp. See the header for
// threads, locks and ownership.
#include "CKesObjSockClient.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "CKesAutoMutex.h"
#include "CKesError.h"
#include "CKesIOWorkPacket.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesCheck.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

namespace {

const char* const kSource = "CKesObjSockClient";

constexpr unsigned int kSendWaitStepMs = 10000; // one step of a send's wait
constexpr int kSendWaitSteps = 7;               // at most 70 seconds

// Length of a buffer written "as text": up to its first zero byte.
int TextLength(const unsigned char* bytes, unsigned int length)
{
    const void* zero = memchr(bytes, 0, length);
    const unsigned int end =
        zero ? static_cast<unsigned int>(static_cast<const unsigned char*>(zero) - bytes) : length;
    return static_cast<int>(end);
}

} // namespace

// ---- construction -----------------------------------------------------------

CKesObjSockClient::CKesObjSockClient()
    : m_ClientId(nullptr), m_ServiceName(nullptr), m_Domain(nullptr), m_TCPSocket(KES_INVALID_SOCKET),
      m_ClientData(nullptr), m_State(KES_UNCONNECTED), m_Controller(nullptr), m_Multicast(nullptr),
      m_ShuttingDown(false), m_AnnouncedServer(nullptr)
{
}

CKesObjSockClient::CKesObjSockClient(char* clientId) : CKesObjSockClient()
{
    if (clientId) m_ClientId = clientId;
}

CKesObjSockClient::CKesObjSockClient(const CKesObjSockClient&) : CKesObjSockClient()
{
    fprintf(stderr, "ERROR: This is a private copy constructor which should not\n");
    fprintf(stderr, " be used.\n");
    CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
}

CKesObjSockClient::~CKesObjSockClient()
{
    KOSCStopConnectThread();
    std::shared_ptr<CKesSockEnd> forgotten;
    {
        std::lock_guard<CKesClientLock> hold(m_ClientLock);
        CKesAutoMutex sending(m_SendLock);
        CloseSocket();
        forgotten = ForgetServer();
    }
    CloseRetiredSockets();
    free(m_ClientId);
    free(m_ServiceName);
    free(m_Domain);
}

void CKesObjSockClient::KOSCStopConnectThread()
{
    // Set before taking the thread lock: a pass holds that lock for a whole
    // attempt, whose waits for the server (the installation-key proof) look
    // at the flag without it. The thread checks the flag again under the lock
    // before every wait, and the broadcast comes under the lock, so a thread
    // that missed the flag is already waiting when it is woken.
    m_ShuttingDown = true;
    {
        CKesThread::AutoMutex hold(m_ConnThread);
        m_ConnThread.KTBroadcast();
    }
    m_ConnThread.KTJoinThread(); // a thread never started (or joined) is no error here
}

// ---- host callbacks (defaults) ------------------------------------------------

void CKesObjSockClient::KesOnClientIO(CKesSockEnd*, CKesRecord* record) { delete record; }

void CKesObjSockClient::KOSCOnClientConnect() {}

void CKesObjSockClient::KOSCOnClientDisconnect() {}

// ---- setters and getters ------------------------------------------------------

int CKesObjSockClient::KOSCSetClientId(char* clientId) { return KesTakeOver(m_ClientId, clientId); }
int CKesObjSockClient::KOSCSetServiceName(char* serviceName)
{
    return KesTakeOver(m_ServiceName, serviceName);
}
int CKesObjSockClient::KOSCSetDomain(char* domain) { return KesTakeOver(m_Domain, domain); }

int CKesObjSockClient::KOSCSetMulticastPtr(CKesObjMulticast* multicast)
{
    if (!multicast) return KES_ERR_ARGUMENT;
    m_Multicast = multicast;
    return 1;
}

int CKesObjSockClient::KOSCSetController(CKesSockEngine* controller)
{
    if (!controller) return KES_ERR_ARGUMENT;
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
    std::lock_guard<CKesClientLock> hold(m_ClientLock);
    return m_State;
}

// ---- traffic ----------------------------------------------------------------------

int CKesObjSockClient::KOSCSendToServer(unsigned char* buffer, unsigned int length)
{
    if (!buffer || length == 0) return KES_ERR_ARGUMENT;
    // Connected: no attempt to wait for, and SendFrame checks the state
    // again under the send lock, which whoever closes the socket holds.
    EKesConnectState state = m_State.load();
    if (state != KES_CONNECTED) state = KOSCGetState();
    const char* form = "2";
    if (state == KES_CONNECTING || state == KES_SOCKET_CONNECTED) {
        state = WaitForConnection();
        form = "1";
    }
    if (state != KES_CONNECTED) {
        ReportRefusedSend(state);
        return KES_ERR_SEND;
    }
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
        if (KOSCShuttingDown()) break;
        KesSleep(kSendWaitStepMs);
        state = KOSCGetState();
        if (KesTraceOn(4)) KesTrace("KOSC Send waiting for connect.\n");
    }
    return state;
}

// One whole frame under m_SendLock. The state is checked again under the
// lock: whoever closes or replaces the socket holds m_SendLock, so a frame
// never goes to a socket that was closed, reused, or not yet greeted. A frame
// the socket has not taken within the engine's send deadline may be half
// written: the connection is shut down, later frames fail at once, and the
// receive path sees the end and loses the server as after any other loss
// (the connect thread reconnects).
int CKesObjSockClient::SendFrame(const unsigned char* frame, unsigned int length)
{
    CKesAutoMutex hold(m_SendLock);
    const unsigned int socket = m_TCPSocket;
    if (m_State != KES_CONNECTED || socket == KES_INVALID_SOCKET) {
        ReportRefusedSend(m_State);
        return KES_ERR_SEND;
    }
    const int deadlineMs =
        m_Controller ? m_Controller->KSEGetSendDeadline() : CKesSockEngine::ms_DefaultSendDeadlineMs;
    if (KesSendAllWithin(socket, frame, length, deadlineMs) == 0) return 1;
    const bool late = errno == ETIMEDOUT;
    shutdown(static_cast<int>(socket), SHUT_RDWR);
    char text[256];
    snprintf(text, sizeof text, "Send to server of service %s on socket %u %s: connection closed",
             m_ServiceName ? m_ServiceName : "(unnamed)", socket,
             late ? ("did not complete within " + std::to_string(deadlineMs) + " ms").c_str() : "failed");
    KesReportLimited(KES_ERR_SEND, kSource, __LINE__, text);
    return KES_ERR_SEND;
}

// A send refused because there is no connection: one report, rate-limited,
// since an outage refuses every send the host makes.
void CKesObjSockClient::ReportRefusedSend(EKesConnectState state)
{
    static const char* const names[] = {"unconnected", "connecting", "greeting the server", "connected",
                                        "disconnected"};
    const char* name = state >= KES_UNCONNECTED && state <= KES_DISCONNECTED ? names[state] : "unknown";
    char text[256];
    snprintf(text, sizeof text, "Send to service %s in domain %s refused: the client is %s",
             m_ServiceName ? m_ServiceName : "(unnamed)", m_Domain ? m_Domain : "(none)", name);
    KesReportLimited(KES_ERR_SEND, kSource, __LINE__, text);
}

int CKesObjSockClient::KOSCSendToServer(CKesRecord* record)
{
    if (!record) return KES_ERR_ARGUMENT;
    CKesRecHdr::RecordFrame frame(*record);
    if (frame.Result() != 1) {
        CKesError(frame.Result(), kSource, __LINE__, nullptr);
        return frame.Result();
    }
    // A failed send has been reported where it failed.
    return KOSCSendToServer(frame.Data(), frame.Length());
}

int CKesObjSockClient::KOSCSendRecordsToServer(CKesRecord** records, unsigned int count)
{
    if (!records) return KES_ERR_ARGUMENT;
    CKesRecHdr batch;
    unsigned int framed = 0;
    const int result = batch.KRHFrameRecords(records, count, &framed);
    if (framed == 0) return result;
    // A failed send has been reported where it failed.
    const int sent = KOSCSendToServer(batch.KRHGetData(), static_cast<unsigned int>(batch.KRHGetTotalLen()));
    return sent != 1 ? sent : result;
}

int CKesObjSockClient::KOSCSendClientId()
{
    if (KesTraceOn(4)) KesTrace("CKesObjSockClient::KOSCSendClientId().\n");
    if (!m_ClientId) return KES_ERR_ARGUMENT;

    CKesRecord greeting;
    int result = greeting.KRAddValue(CKesSockEnd::ms_ClientIdField, m_ClientId);
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);

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
        result = KES_ERR_SEND;
    return result;
}

int CKesObjSockClient::KOSCProcessPacket(CKesIOWorkPacket* workPacket)
{
    if (!workPacket) return KES_ERR_ARGUMENT;
    const unsigned int socket = workPacket->KIWPGetSocket();
    if (socket == KES_INVALID_SOCKET || socket != m_TCPSocket) return 1;

    if (workPacket->KIWPGetPacketLength() == 0) return ServerClosed(socket);

    // The callback reads the endpoint through a counted reference, so a
    // loss of the server meanwhile cannot free it under the host's feet.
    std::shared_ptr<CKesSockEnd> server = ServerSnapshot();
    std::unique_ptr<CKesRecord> record(workPacket->KIWPTakeRecord());
    if (record && DropProofRecord(*record)) return 1;
    KesOnClientIO(server.get(), record.release());
    return 1;
}

// ---- losing and closing the connection ------------------------------------------

// The server closed the connection on this socket. The socket leaves the
// engine before the state turns KES_UNCONNECTED, under the ClientLock: from
// then on the connect thread may close the socket and get the same handle
// back for its next connection, which a late deregistration would cut off.
// The event-loop thread does not wait for an attempt that holds the lock
// (its greeting delay): the socket stays paused until the attempt is over,
// and the loop reads the end again then.
int CKesObjSockClient::ServerClosed(unsigned int socket)
{
    int result = 1;
    std::shared_ptr<CKesSockEnd> forgotten;
    {
        if (m_Controller && m_Controller->KRNIsLoopThread()) {
            if (!m_ClientLock.TryLockOrPark(m_Controller, socket)) return 1;
        } else {
            m_ClientLock.Lock();
        }
        std::lock_guard<CKesClientLock> hold(m_ClientLock, std::adopt_lock);
        if (socket != m_TCPSocket) return 1; // that connection has been replaced meanwhile
        if (m_Controller) {
            result = m_Controller->KSECloseClientIO(this);
            if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
        }
        forgotten = ForgetServer();
    }
    KOSCOnClientDisconnect();
    return result;
}

int CKesObjSockClient::KOSCDisconnect()
{
    int result = 1;
    if (KesTraceOn(4))
        KesTrace("Trying to lock the ClientLock - KOSCDisconnect(%s).\n",
                 m_ServiceName ? m_ServiceName : "NULL");
    {
        std::lock_guard<CKesClientLock> hold(m_ClientLock);
        m_State = KES_UNCONNECTED;
        if (m_TCPSocket == KES_INVALID_SOCKET) return result;
        if (m_Controller) {
            result = m_Controller->KSECloseClientIO(this);
            if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
        }
        CKesAutoMutex sending(m_SendLock);
        CloseSocket();
    }
    CloseRetiredSockets();
    return result;
}

// Caller holds the ClientLock and m_SendLock: no attempt and no frame is
// under way on the socket when the client lets go of it. It is closed by
// CloseRetiredSockets once both locks are released.
void CKesObjSockClient::CloseSocket()
{
    KES_CHECK(m_ClientLock.IsHeldByMe() && m_SendLock.IsHeldByMe(),
              "caller holds the ClientLock and m_SendLock");
    const unsigned int socket = m_TCPSocket.exchange(KES_INVALID_SOCKET);
    if (socket != KES_INVALID_SOCKET) m_RetiredSockets.push_back(socket);
}

// A read the event loop began before the socket left it may still be under
// way: closed at once, the handle could pass to a new connection and that
// read take the new connection's first bytes. So each socket is closed once
// no read of it is under way, which is not waited for under the ClientLock:
// the loop thread takes it to report a closed connection.
void CKesObjSockClient::CloseRetiredSockets()
{
    KES_CHECK(!m_ClientLock.IsHeldByMe() && !m_SendLock.IsHeldByMe(), "caller holds neither client lock");
    std::vector<unsigned int> sockets;
    {
        std::lock_guard<CKesClientLock> hold(m_ClientLock);
        sockets.swap(m_RetiredSockets);
    }
    for (unsigned int socket : sockets) {
        if (m_Controller) m_Controller->KRNWaitForDispatch(socket);
        KesCloseSocket(socket);
    }
}
