// CKesObjSockServer: construction, the setters and getters, binding, the
// accept thread and termination. The client table and the traffic with
// clients are in CKesObjSockServerTraffic.cpp, the service file side in
// CKesObjSockServerFile.cpp.
#include "CKesObjSockServer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "CKesAcceptReserve.h"
#include "CKesAtom.h"
#include "CKesAutoMutex.h"
#include "CKesEnv.h"
#include "CKesError.h"
#include "CKesFileDescriptor.h"
#include "CKesPointer.h"
#include "CKesRecord.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesErrorCodes.h"

namespace {

const char* const kSource = "CKesObjSockServer";

const char* Printable(const char* text) { return text ? text : "NULL"; }

// How long accepted data may stay unacknowledged before the system drops the
// connection: the engine's bound, on the time scale. Without it a send to a
// client that vanished waits on the system's default of about 15 minutes.
unsigned int UnackedLimitMs(const CKesSockEngine* engine)
{
    const int limit = engine ? engine->KSEGetUnackedLimit() : CKesSockEngine::ms_DefaultUnackedLimitMs;
    return static_cast<unsigned int>(std::max(1.0, limit * KesTimeScale()));
}

// A descriptor shortage of one accept loop, reported twice: when it begins
// and, with the number of connections closed at once, when it ends (the
// next connection accepted, or the end of the loop).
class ShortageReports {
public:
    explicit ShortageReports(const char* service) : m_Service(Printable(service)) {}
    void Began()
    {
        m_Under = true;
        std::string text = "Out of descriptors: new connections to " + m_Service + " are closed at once";
        CKesError(KES_ERR_CONNECTION, kSource, __LINE__, text.c_str());
    }
    // The reserve's count goes into the episode's report, if one is under way.
    void Ended(CKesAcceptReserve& reserve)
    {
        const int shed = reserve.KARTakeShedCount();
        m_Shed += shed;
        if (!m_Under) return;
        std::string text = "Out of descriptors: " + std::to_string(m_Shed) + " connections to " + m_Service +
                           " closed at once";
        CKesError(KES_ERR_CONNECTION, kSource, __LINE__, text.c_str());
        m_Under = false;
        m_Shed = 0;
    }

private:
    std::string m_Service;
    bool m_Under = false; // a shortage began and its end is not yet reported
    long long m_Shed = 0; // connections shed in the episode so far
};

} // namespace

// Entry of the accept thread: runs the accept loop of the server given.
unsigned int KOSSAcceptThreadEntry(void* server)
{
    static_cast<CKesObjSockServer*>(server)->KOSSStartAccepting();
    return 0;
}

// ---- construction and destruction -------------------------------------------

CKesObjSockServer::CKesObjSockServer()
    : m_ClientData(new CKesTreeList(FALSE)), m_NewSockets(new CKesTreeList(FALSE))
{
    int result = KOSSInitServerFile();
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
}

CKesObjSockServer::CKesObjSockServer(const CKesObjSockServer&)
{
    fprintf(stderr, "ERROR: This is a private copy constructor which should not\n");
    fprintf(stderr, " be used.\n");
    CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
}

CKesObjSockServer::~CKesObjSockServer()
{
    int result = KOSSTerminate();
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);

    // The endpoint of a dynamic server holds the listening socket and
    // closes it when destroyed; otherwise it is closed here.
    if (m_ListenSocket != KES_INVALID_SOCKET) {
        bool endpointHoldsIt = m_ServerData && m_ServerData->KSEGetEndPointSocket() == m_ListenSocket;
        if (!endpointHoldsIt) KesCloseSocket(m_ListenSocket);
        m_ListenSocket = KES_INVALID_SOCKET;
    }
    if (m_AcceptWake >= 0) close(m_AcceptWake);
    free(m_ServiceName);
    free(m_Domain);
    free(m_ServerAddress.load());
    delete m_ServerData;
    delete m_ClientData;

    // Connections still open are closed without callbacks.
    CKesDoubleList* entries = m_NewSockets->KTLIterator();
    for (CKesListable* item = entries ? entries->KDLHead() : nullptr; item;
         item = entries->KDLGetNext(item)) {
        auto* client = static_cast<CKesSockEnd*>(static_cast<CKesPointer*>(item)->KPData());
        if (client && client->KSEGetEndPointSocket() != KES_INVALID_SOCKET) delete client;
    }
    delete m_NewSockets;

    free(m_ServiceFilePath);
    delete m_ServiceDataParser;
}

// ---- setters and getters --------------------------------------------------------

int CKesObjSockServer::KOSSSetServiceName(char* name) { return KesTakeOver(m_ServiceName, name); }
int CKesObjSockServer::KOSSSetDomain(char* domain) { return KesTakeOver(m_Domain, domain); }

int CKesObjSockServer::KOSSSetController(CKesSockEngine* controller)
{
    if (!controller) return KES_ERR_ARGUMENT;
    m_Controller = controller;
    return 1;
}

int CKesObjSockServer::KOSSSetMulticastPtr(CKesObjMulticast* multicast)
{
    if (!multicast) return KES_ERR_ARGUMENT;
    m_Multicast = multicast;
    return 1;
}

char* CKesObjSockServer::KOSSGetServiceName() { return m_ServiceName; }
char* CKesObjSockServer::KOSSGetDomain() { return m_Domain; }
char* CKesObjSockServer::KOSSGetServerAddress() { return m_ServerAddress.load(); }
EKesConnectState CKesObjSockServer::KOSSGetConnectState() { return m_ConnectState.load(); }
CKesSockEnd* CKesObjSockServer::KOSSGetServerData() { return m_ServerData; }
CKesTreeList* CKesObjSockServer::KOSSGetClientData() { return m_ClientData; }
CKesSockEngine* CKesObjSockServer::KOSSGetController() { return m_Controller; }
CKesObjMulticast* CKesObjSockServer::KOSSGetMulticastPtr() { return m_Multicast; }

// ---- host callbacks (defaults) -----------------------------------------------------

void CKesObjSockServer::KesOnServerIO(CKesSockEnd*, CKesRecord* record) { delete record; }
void CKesObjSockServer::KOSSOnClientConnect(CKesSockEnd*) {}
void CKesObjSockServer::KOSSOnClientDisconnect(CKesSockEnd*) {}
void CKesObjSockServer::KOSSOnServerInit() {}

// ---- start-up ----------------------------------------------------------------------

// Under the server lock: reads the service file once (a fixed entry sets the
// endpoint), opens and binds the listening socket, publishes a dynamic
// endpoint and starts the accept thread.
int CKesObjSockServer::KOSSInitialise()
{
    if (KesTraceOn(4)) KesTrace("Attempting to lock the server lock - KOSSInitialise.\n");
    CKesAutoMutex guard(m_ServerLock);
    if (!m_ServiceName) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "The service name is NULL.\n");
        return KES_ERR_ARGUMENT;
    }
    if (!m_ServiceDataParser) {
        int parsed = KOSSParseServiceFile();
        if (parsed != 1) CKesError(parsed, kSource, __LINE__, nullptr);
    }
    int result = KOSSOpenSocket();
    if (result != 1) {
        CKesError(result, kSource, __LINE__, nullptr);
        return result;
    }
    result = KOSSBindServerSocket();
    if (result != 1) {
        CKesError(result, kSource, __LINE__, nullptr);
        return result;
    }
    if (!m_ServerData) {
        result = KOSSUpdateServerData();
        if (result != 1) {
            CKesError(result, kSource, __LINE__, nullptr);
            return result;
        }
    }
    result = KOSSStartAcceptThread();
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

// A new listening socket replaces (and closes) the one held. When the process
// is out of descriptors it asks for more and tries again.
int CKesObjSockServer::KOSSOpenSocket()
{
    for (;;) {
        int created = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (created >= 0) {
            if (m_ListenSocket != KES_INVALID_SOCKET) KesCloseSocket(m_ListenSocket);
            m_ListenSocket = static_cast<unsigned int>(created);
            return 1;
        }
        if (!CKesFileDescriptor::KFDIsUnavailable(errno)) return KES_ERR_SOCKET_CREATE;
        if (CKesFileDescriptor::KFDMakeAvailable() != 0) return KES_ERR_SOCKET_CREATE;
    }
}

char* CKesObjSockServer::KOSSGetHostAddr()
{
    CKesAtomVector addresses = CKesEnv::KELocalHostIPAddrs();
    const CKesAtom* first = addresses.KAVGetValue(0);
    return first ? first->KAStrRep() : nullptr;
}

// Binds to the fixed entry's address and port (with SO_REUSEADDR; a failed
// bind is retried every 30 s without limit), or to the host's first address
// with a port the system chooses (a failed bind fails at once).
int CKesObjSockServer::KOSSBindServerSocket()
{
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    int result = 1;
    const bool fixed = m_ServerData != nullptr;
    if (fixed) {
        address.sin_addr.s_addr = static_cast<in_addr_t>(m_ServerData->KSEGetEndPtIpAddressLong());
        address.sin_port = htons(static_cast<uint16_t>(m_ServerData->KSEGetEndPtAddressPort()));
        int one = 1;
        if (setsockopt(static_cast<int>(m_ListenSocket), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
            KesReportSocketError(m_ListenSocket, "Socket option SO_REUSEADDR failed");
            result = KES_ERR_SOCKET_OPTION;
            CKesError(KES_ERR_SOCKET_OPTION, kSource, __LINE__, nullptr);
        }
    } else {
        char* host = KOSSGetHostAddr();
        if (!host) {
            CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
            return KES_ERR_ARGUMENT;
        }
        int converted = KesInetAtoN(host, &address.sin_addr);
        free(host);
        if (converted == -1) {
            CKesError(KES_ERR_SERVICE_ENTRY, kSource, __LINE__, nullptr);
            return KES_ERR_SERVICE_ENTRY;
        }
    }
    if (KesTraceOn(3))
        KesTrace("CKesObjSockServer::KOSSBindServerSocket(): The address in_addr is %x and the port number "
                 "is %u\n",
                 ntohl(address.sin_addr.s_addr), static_cast<unsigned>(ntohs(address.sin_port)));

    for (;;) {
        if (bind(static_cast<int>(m_ListenSocket), reinterpret_cast<sockaddr*>(&address), sizeof(address)) ==
            0)
            return result;
        KesReportSocketError(m_ListenSocket, "Bind Failed");
        if (!fixed) {
            CKesError(KES_ERR_BIND, kSource, __LINE__, nullptr);
            return KES_ERR_BIND;
        }
        char* dotted = m_ServerData->KSEGetEndPtIpAddress();
        std::string text = std::string("For Address: ") + (dotted ? dotted : "") +
                           " Port: " + std::to_string(m_ServerData->KSEGetEndPtAddressPort()) +
                           "\nWaiting 30 seconds before next attempt...";
        free(dotted);
        CKesError(KES_ERR_BIND, kSource, __LINE__, text.c_str());
        KesSleep(30000);
    }
}

int CKesObjSockServer::KOSSStartAcceptThread()
{
    // Without it the thread still ends, within its 1 s wait. A wake-up left
    // by an earlier termination is taken back, or the new wait would never wait.
    uint64_t earlier = 0;
    if (m_AcceptWake < 0)
        m_AcceptWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    else if (read(m_AcceptWake, &earlier, sizeof earlier) < 0 && errno != EAGAIN)
        CKesError(KES_ERR_ACCEPT_THREAD, kSource, __LINE__, nullptr);
    if (m_AcceptWake < 0)
        CKesError(KES_ERR_ACCEPT_THREAD, kSource, __LINE__, "no wake-up for the accept thread");
    int status = KesPThreadCreate(&m_AcceptThread, KOSSAcceptThreadEntry, this);
    if (status != 0) {
        fprintf(stderr, "Accept Thread Create Error.  Reason: %s\n", strerror(status));
        return KES_ERR_ACCEPT_THREAD;
    }
    m_AcceptThreadStarted = true;
    return 1;
}

// ---- the accept thread ----------------------------------------------------------------

// The accept thread: enters KES_CONNECTED, listens and accepts until
// KOSSTerminate sets KES_DISCONNECTED (seen within the 1 s wait of
// KOSSPreAccept). Accepted sockets are made blocking again. Between waits it
// shuts down overdue connections (ReapOverdue).
void CKesObjSockServer::KOSSStartAccepting()
{
    if (KesTraceOn(4)) KesTrace("CKesObjSockServer::KOSSStartAccepting().\n");
    unsigned long nonBlocking = 1;
    if (KesIoctl(m_ListenSocket, KES_FIONBIO, &nonBlocking) < 0)
        CKesError(KES_ERR_BLOCKING_MODE, kSource, __LINE__, nullptr);

    // KOSSTerminate holds the server lock while it joins this thread, so the
    // lock is only tried: once the state is KES_DISCONNECTED the thread leaves
    // without ever entering KES_CONNECTED.
    while (m_ServerLock.TryLock() != 1) {
        if (m_ConnectState.load() == KES_DISCONNECTED) return;
        usleep(1000);
    }
    if (m_ConnectState.load() == KES_DISCONNECTED) {
        m_ServerLock.Unlock();
        return;
    }
    m_ConnectState.store(KES_CONNECTED);
    m_ServerLock.Unlock();
    if (KesTraceOn(4)) KesTrace("CKesObjSockServer -- Connected.\n");
    KOSSOnServerInit();

    if (listen(static_cast<int>(m_ListenSocket), 100) != 0) {
        CKesError(KES_ERR_LISTEN, kSource, __LINE__, nullptr);
        return;
    }
    AcceptLoop();
}

// Accepts until KOSSTerminate sets KES_DISCONNECTED. At the descriptor limit
// the reserve closes each pending connection at once, so its peer sees the
// connection closed instead of hanging, and the loop neither spins nor
// reports per connection: once when the shortage begins, once with the count
// when it ends.
void CKesObjSockServer::AcceptLoop()
{
    CKesAcceptReserve reserve; // this server's spare descriptor
    ShortageReports shortage(m_ServiceName);
    while (m_ConnectState.load() != KES_DISCONNECTED) {
        ReapOverdue();
        if (!KOSSPreAccept()) continue;
        sockaddr_in peer;
        memset(&peer, 0, sizeof(peer));
        socklen_t peerLength = sizeof(peer);
        int accepted =
            reserve.KARAccept(m_ListenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
        if (accepted < 0) {
            const int error = errno;
            if (m_ConnectState.load() == KES_DISCONNECTED) break;
            if (CKesFileDescriptor::KFDIsUnavailable(error)) {
                if (reserve.KARTakeShortageBegan()) shortage.Began();
            } else {
                ReportAcceptFailure(error);
            }
            continue;
        }
        shortage.Ended(reserve);
        TakeAccepted(static_cast<unsigned int>(accepted), reinterpret_cast<sockaddr*>(&peer));
    }
    shortage.Ended(reserve);
}

// A failed accept other than a shortage. A peer that went before it was
// taken is no error; anything else (the system short of memory) is reported,
// limited, and followed by a pause, since the connection stays pending and
// the next wait would return at once.
void CKesObjSockServer::ReportAcceptFailure(int error)
{
    if (error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED || error == EINTR) return;
    std::string text = std::string("Unable to accept on server socket of ") + Printable(m_ServiceName) +
                       ": " + strerror(error);
    KesReportLimited(KES_ERR_CONNECTION, kSource, __LINE__, text.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(CKesAcceptReserve::kBackOffMs));
}

// An accepted connection, made blocking and bounded in its unacknowledged
// data, goes to the new-socket table and the engine.
void CKesObjSockServer::TakeAccepted(unsigned int client, sockaddr* peer)
{
    unsigned long blocking = 0;
    if (KesIoctl(client, KES_FIONBIO, &blocking) < 0)
        CKesError(KES_ERR_BLOCKING_MODE, kSource, __LINE__, nullptr);
    if (KesSetUserTimeout(client, UnackedLimitMs(m_Controller)) != 0)
        KesReportSocketError(client, "Socket option TCP_USER_TIMEOUT failed");
    if (KOSSHandleNewSocket(client, peer) != 1) CKesError(KES_ERR_CONNECTION, kSource, __LINE__, nullptr);
    if (!m_ServerAddress) {
        int result = KOSSSetServerAddress(client);
        if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    }
}

// Waits up to 1 s for a connection to accept; termination ends the wait at
// once. poll, not select: a process with many connections open gets
// listening sockets numbered past select's limit of 1,024.
__boolean CKesObjSockServer::KOSSPreAccept()
{
    pollfd waits[] = {{static_cast<int>(m_ListenSocket), POLLIN, 0}, {m_AcceptWake, POLLIN, 0}};
    const pollfd& listening = waits[0];
    int ready = poll(waits, m_AcceptWake >= 0 ? 2 : 1, 1000);
    if (ready < 0 && errno == EINTR) return FALSE;
    if (ready < 0 || (listening.revents & POLLNVAL) != 0) {
        CKesError(KES_ERR_ACCEPT_WAIT, kSource, __LINE__, nullptr);
        return FALSE;
    }
    // An error on the socket is left to accept, which reports it.
    return listening.revents != 0 ? TRUE : FALSE;
}

// Files an accepted connection in the new-socket table as an endpoint that
// owns the socket from then on, and hands it to the engine. A socket number
// already filed is left as it is.
int CKesObjSockServer::KOSSHandleNewSocket(unsigned int socket, sockaddr* peer)
{
    if (socket == KES_INVALID_SOCKET || !peer) return KES_ERR_ARGUMENT;
    auto* peerCopy = static_cast<sockaddr*>(malloc(KES_SOCKADDR_IN_LEN));
    char* service = m_ServiceName ? strdup(m_ServiceName) : nullptr;
    char* domain = m_Domain ? strdup(m_Domain) : nullptr;
    if (!peerCopy || !service || !domain) CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
    if (peerCopy) memcpy(peerCopy, peer, KES_SOCKADDR_IN_LEN);

    // The endpoint takes the copies and the socket over only when it has all
    // of them; otherwise they are still ours to release, and the accepted
    // socket, which nothing else knows, is closed.
    auto* client = new (std::nothrow) CKesSockEnd(service, peerCopy, domain, socket);
    if (!client || client->KSEGetEndPointSocket() == KES_INVALID_SOCKET) {
        free(peerCopy);
        free(service);
        free(domain);
        KesCloseSocket(socket);
        if (!client) {
            CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
            return KES_ERR_ALLOCATION;
        }
        delete client;
        return KES_ERR_CONNECTION;
    }
    const int key = static_cast<int>(socket);
    if (m_NewSockets->KTLGet(key)) {
        delete client;
        return 1;
    }
    auto* holder = new CKesPointer(client);
    int result = m_NewSockets->KTLAdd(key, holder);
    if (result != 1) {
        CKesError(result, kSource, __LINE__, nullptr);
        delete holder;
        delete client;
        return result;
    }
    TrackConnection(client);
    if (!m_Controller) return 1;
    result = m_Controller->KSEAddNewServerSocket(m_ServiceName, client);
    if (result != 1) {
        CKesError(result, kSource, __LINE__, nullptr);
        return result;
    }
    return 1;
}

// Keeps the local address of an accepted connection as the server address,
// unless it is the any or the all-ones address.
int CKesObjSockServer::KOSSSetServerAddress(unsigned int socket)
{
    sockaddr_in local;
    memset(&local, 0, sizeof(local));
    socklen_t length = sizeof(local);
    if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return KES_ERR_SOCKET_CREATE;
    uint32_t address = local.sin_addr.s_addr;
    if (address != 0 && address != 0xFFFFFFFFu) free(m_ServerAddress.exchange(KesGetIPStr(address)));
    return 1;
}

// ---- termination --------------------------------------------------------------------------

// Stops accepting and withdraws a dynamic entry from the service file; a
// second call does nothing. The server lock is held while the accept thread
// is joined, which only ever tries it.
int CKesObjSockServer::KOSSTerminate()
{
    if (m_ConnectState.load() == KES_DISCONNECTED) {
        if (KesTraceOn(4)) KesTrace("CKesObjSockServer::KOSSTerminate() - already disconnected");
        return 1;
    }
    if (KesTraceOn(4)) KesTrace("CKesObjSockServer::KOSSTerminate().");
    CKesAutoMutex guard(m_ServerLock);
    if (m_ConnectState.load() == KES_DISCONNECTED) return 1; // another thread finished it meanwhile
    m_ConnectState.store(KES_DISCONNECTED);
    if (m_AcceptThreadStarted) {
        // Never read: the wait sees it at once, however often it waits again.
        const uint64_t wake = 1;
        if (m_AcceptWake >= 0 && write(m_AcceptWake, &wake, sizeof wake) != sizeof wake)
            CKesError(KES_ERR_ACCEPT_JOIN, kSource, __LINE__, "the accept thread ends within its 1 s wait");
        if (KesTraceOn(4)) KesTrace("KesPThreadJoin");
        if (KesPThreadJoin(&m_AcceptThread) != 0)
            CKesError(KES_ERR_ACCEPT_JOIN, kSource, __LINE__, nullptr);
        else
            m_AcceptThreadStarted = false;
    }
    int result = KOSSRemoveServiceEntry();
    if (result != 1) CKesError(result, kSource, __LINE__, "KOSSRemoveServiceEntry");
    if (KesTraceOn(4)) KesTrace("leaving CKesObjSockServer::KOSSTerminate().");
    return result;
}
