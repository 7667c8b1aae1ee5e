// CKesSockEngine: construction and destruction, the registries of servers,
// clients and their sockets, the receive path from the event loop to the
// worker pool, and the engine's side of multicast discovery.
#include "CKesSockEngine.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CKesAtom.h"
#include "CKesAutoMutex.h"
#include "CKesDoubleList.h"
#include "CKesEnv.h"
#include "CKesError.h"
#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesPointer.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesServPool.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesStack.h"
#include "CKesTreeList.h"
#include "CKesVarBind.h"
#include "KesErrorCodes.h"

namespace {

// The server whose packet the calling thread is processing, if any: such a
// thread must not wait for that server to become idle.
thread_local CKesObjSockServer* t_ServerInUse = nullptr;

constexpr const char* kSource = "CKesSockEngine";
constexpr const char* kMulticastService = "MulticastService";
constexpr const char* kAnyDomain = "ANY_OSTRAVINE_DOMAIN";

// Table key of a socket: an integer atom made from the handle as an int.
CKesAtom SocketKey(unsigned int socket) { return CKesAtom(static_cast<int>(socket)); }

// The value a table entry holds, or null when the key is absent. The holder
// KTLGet returns is this thread's copy, so reading it here is safe.
void* TableValue(CKesTreeList* table, const CKesAtom& key)
{
    if (table == nullptr) return nullptr;
    CKesPointer* holder = table->KTLGet(&key);
    return holder != nullptr ? holder->KPData() : nullptr;
}

void* TableValue(CKesTreeList* table, const char* key)
{
    if (table == nullptr || key == nullptr) return nullptr;
    CKesPointer* holder = table->KTLGet(key);
    return holder != nullptr ? holder->KPData() : nullptr;
}

// Every value of a table, copied out so that the caller may call anything
// (also another walk of the same table) while it goes through them.
std::vector<void*> TableValues(CKesTreeList* table)
{
    std::vector<void*> values;
    if (table == nullptr) return values;
    CKesDoubleList* list = table->KTLIterator();
    if (list == nullptr) return values;
    for (CKesListable* item = list->KDLHead(); item != nullptr; item = list->KDLGetNext(item))
        values.push_back(static_cast<CKesPointer*>(item)->KPData());
    return values;
}

// The size of the source address buffer for a socket: that of its family as
// getsockname reports it (IPv4 for the invalid socket).
unsigned int SourceAddressLength(unsigned int socket)
{
    if (socket == KES_INVALID_SOCKET) return KES_SOCKADDR_IN_LEN;
    sockaddr_storage name{};
    socklen_t nameLength = sizeof(name);
    int family = -1;
    if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&name), &nameLength) == 0)
        family = name.ss_family;
    if (family == AF_INET) return KES_SOCKADDR_IN_LEN;
    if (family == AF_INET6) return KES_SOCKADDR_IN6_LEN;
    CKesError(KES_ERR_ADDRESS_FAMILY, kSource, __LINE__, "Socket address family is neither IPv4 nor IPv6");
    return KES_SOCKADDR_IN_LEN;
}

// True when the socket is a datagram socket; a failed query counts as stream.
bool IsDatagramSocket(unsigned int socket)
{
    int type = SOCK_STREAM;
    socklen_t typeLength = sizeof(type);
    if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0) {
        if (__Kesworks_Debug_Level != 0) fputs("netGetSockType failed", stderr);
        return false;
    }
    return type == SOCK_DGRAM;
}

// The declared data length at the start of a fragment, or -1 while its
// header is incomplete.
long long DeclaredLength(const CKesIOWorkPacket* fragment)
{
    return CKesRecHdr::KRHPeekDataLen(fragment->KIWPGetPacket(), fragment->KIWPGetPacketLength());
}

} // namespace

// ---- construction and destruction ------------------------------------------

CKesSockEngine::CKesSockEngine(const char* name, __serv_types type, int poolSize)
    : CKesEngine(name, type), CMOMRvIOCallback(), m_IOPool(nullptr), m_EngineLock(),
      m_ServerTable(nullptr), m_ServerSocketTable(nullptr), m_ClientTable(nullptr),
      m_ClientSocketTable(nullptr), m_Multicast(nullptr), m_FragmentTable(nullptr)
{
    KSECreate(poolSize);
}

CKesSockEngine::CKesSockEngine(char* name, __serv_types type, int poolSize)
    : CKesEngine(name, type), CMOMRvIOCallback(), m_IOPool(nullptr), m_EngineLock(),
      m_ServerTable(nullptr), m_ServerSocketTable(nullptr), m_ClientTable(nullptr),
      m_ClientSocketTable(nullptr), m_Multicast(nullptr), m_FragmentTable(nullptr)
{
    KSECreate(poolSize);
}

CKesSockEngine::~CKesSockEngine() { KSEReleaseAll(); }

int CKesSockEngine::KSECreate(int poolSize)
{
    m_IOPool = new CKesServPool(poolSize, nullptr);
    int result = m_IOPool->KSPLaunchThreads(&CKesSockEngine::KSEWorkerProc);
    if (result != 1) CKesError(result, kSource, __LINE__, "The IO pool's threads cannot be started");

    m_ServerTable = new CKesTreeList(FALSE);
    m_ServerSocketTable = new CKesTreeList(FALSE);
    m_ClientTable = new CKesTreeList(FALSE);
    m_ClientSocketTable = new CKesTreeList(FALSE);
    m_FragmentTable = new CKesTreeList(FALSE);
    m_Multicast = nullptr;

    for (int attempt = 1;; ++attempt) {
        result = KSEStartMulticast();
        if (result == 1) return 1;
        CKesError(result, kSource, __LINE__, nullptr);
        if (attempt >= ms_MulticastAttempts) break;
        KesSleep(ms_MulticastRetryMs);
    }
    CKesError(KES_ERR_MULTICAST_UNAVAILABLE, kSource, __LINE__, "Unable to access the multicast service, exiting.");
    // Stop the workers and free what was built so that the process ends with
    // no thread running and nothing half-made; then leave with a status that
    // tells a supervisor why.
    KSEReleaseAll();
    fflush(stdout);
    fflush(stderr);
    exit(ms_MulticastUnavailableExit);
}

void CKesSockEngine::KSEReleaseAll()
{
    delete m_IOPool; // processes what is still queued, then joins the workers
    m_IOPool = nullptr;
    KSEDestroyServerSockets();
    KSEDestroyServers();
    KSEDestroyClientSockets();
    KSEDestroyClients();
    KSEDestroyFragments();
    KSEDestroyMulticast();
}

void CKesSockEngine::KSEDestroyServerSockets()
{
    CKesTreeList* table = m_ServerSocketTable;
    for (void* value : TableValues(table)) {
        CKesVarBind* binding = static_cast<CKesVarBind*>(value);
        KSERemoveIO(static_cast<unsigned int>(binding->KVBValue()->KAInt()), __LINE__);
        delete binding;
    }
    // Cleared before the table goes, so that a server destroyed next finds
    // no table instead of a dead one when it lets its clients go.
    m_ServerSocketTable = nullptr;
    delete table;
}

void CKesSockEngine::KSEDestroyServers()
{
    CKesTreeList* table = m_ServerTable;
    std::vector<void*> servers = TableValues(table);
    m_ServerTable = nullptr;
    delete table;
    for (void* server : servers) delete static_cast<CKesObjSockServer*>(server);
}

void CKesSockEngine::KSEDestroyClientSockets()
{
    CKesTreeList* table = m_ClientSocketTable;
    for (void* client : TableValues(table))
        KSERemoveIO(static_cast<CKesObjSockClient*>(client)->KOSCGetClientTCPSocket(), __LINE__);
    m_ClientSocketTable = nullptr;
    delete table;
}

void CKesSockEngine::KSEDestroyClients()
{
    CKesTreeList* table = m_ClientTable;
    std::vector<void*> clients = TableValues(table);
    m_ClientTable = nullptr;
    delete table;
    for (void* client : clients) delete static_cast<CKesObjSockClient*>(client);
}

void CKesSockEngine::KSEDestroyFragments()
{
    CKesTreeList* table = m_FragmentTable;
    std::vector<void*> fragments = TableValues(table);
    m_FragmentTable = nullptr;
    delete table;
    for (void* fragment : fragments) delete static_cast<CKesIOWorkPacket*>(fragment);
}

void CKesSockEngine::KSEDestroyMulticast()
{
    if (m_Multicast == nullptr) return;
    unsigned int socket = m_Multicast->KOMGetReceiveSocket();
    if (socket != KES_INVALID_SOCKET) KSERemoveIO(socket, __LINE__);
    delete m_Multicast;
    m_Multicast = nullptr;
}

// ---- helpers shared by the registries and the receive path ------------------

int CKesSockEngine::KSERemoveIO(unsigned int socket, int line)
{
    int result = KRNRemoveIO(socket);
    if (result != 1) CKesError(result, kSource, line, nullptr);
    return result;
}

int CKesSockEngine::KSERegisterIO(unsigned int socket, int line)
{
    int result = KRNAddIOHandle(socket, TRUE, FALSE, FALSE, this);
    if (result != 1) CKesError(result, kSource, line, nullptr);
    return result;
}

int CKesSockEngine::KSEQueue(CKesIOWorkPacket* packet, int line)
{
    int result = m_IOPool != nullptr ? m_IOPool->KSPAddWorkDetail(packet) : KES_ERR_ARGUMENT;
    if (result == 1) return 1;
    // The pool refused it (it is closing): nobody will process the packet.
    CKesError(result, kSource, line, "Packet not queued to the IO pool, dropped");
    delete packet;
    return result;
}

CKesIOWorkPacket* CKesSockEngine::KSETakeFragment(unsigned int socket)
{
    CKesAtom key = SocketKey(socket);
    CKesAutoMutex hold(m_EngineLock);
    CKesIOWorkPacket* fragment = static_cast<CKesIOWorkPacket*>(TableValue(m_FragmentTable, key));
    if (fragment != nullptr) m_FragmentTable->KTLDelete(&key);
    return fragment;
}

int CKesSockEngine::KSEKeepFragment(unsigned int socket, CKesIOWorkPacket* fragment)
{
    CKesAtom key = SocketKey(socket);
    int result = KES_ERR_ARGUMENT;
    {
        CKesAutoMutex hold(m_EngineLock);
        if (m_FragmentTable != nullptr) result = m_FragmentTable->KTLAdd(&key, static_cast<void*>(fragment), TRUE);
    }
    if (result == 1) return 1;
    CKesError(result, kSource, __LINE__, "Incomplete packet cannot be kept, dropped");
    delete fragment;
    return result;
}

void CKesSockEngine::KSEDropFragment(unsigned int socket)
{
    delete KSETakeFragment(socket);
}

bool CKesSockEngine::KSEIsOwnedStream(unsigned int socket)
{
    CKesAtom key = SocketKey(socket);
    CKesAutoMutex hold(m_EngineLock);
    return TableValue(m_ServerSocketTable, key) != nullptr || TableValue(m_ClientSocketTable, key) != nullptr;
}

CKesObjSockServer* CKesSockEngine::KSEFindServer(const char* serviceName)
{
    return static_cast<CKesObjSockServer*>(TableValue(m_ServerTable, serviceName));
}

CKesObjSockClient* CKesSockEngine::KSEFindClient(const char* serviceName)
{
    return static_cast<CKesObjSockClient*>(TableValue(m_ClientTable, serviceName));
}

// ---- virtual operations ------------------------------------------------------

void CKesSockEngine::KNSafeExit()
{
    for (void* server : TableValues(m_ServerTable)) static_cast<CKesObjSockServer*>(server)->KOSSTerminate();
}

int CKesSockEngine::KRNPostInitFns() { return CKesEngine::KRNPostInitFns(); }

void CKesSockEngine::KesOnRvIO(CKesIOWorkPacket*)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KesOnRvIO().\n");
}

// ---- registries ----------------------------------------------------------------

int CKesSockEngine::KSEAddServer(CKesObjSockServer* server)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSEAddServer()");
    if (server == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No server given");
        return KES_ERR_ARGUMENT;
    }
    int result = server->KOSSSetController(this);
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    int step = server->KOSSSetMulticastPtr(m_Multicast);
    if (step != 1) CKesError(result = step, kSource, __LINE__, nullptr);

    const char* name = server->KOSSGetServiceName();
    if (name == nullptr) {
        // A server without a name cannot be filed; the caller keeps it.
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "Server has no service name");
        return KES_ERR_ARGUMENT;
    }
    CKesAutoMutex hold(m_EngineLock);
    if (KSEFindServer(name) != nullptr) {
        fprintf(stderr, "WARNING: You have attempted to add a server on service %s when this socket engine already has a "
                        "server on this subject.\n", name);
        return KES_ERR_DUPLICATE_SERVER;
    }
    step = m_ServerTable->KTLAdd(name, static_cast<void*>(server));
    if (step != 1) CKesError(result = step, kSource, __LINE__, nullptr);
    return result;
}

int CKesSockEngine::KSEAddNewServerSocket(char* serviceName, CKesSockEnd* end)
{
    if (KesTraceOn(3)) {
        KesTrace("CKesSockEngine::KSEAddNewServerSocket(%s Info: ", serviceName ? serviceName : "NULL");
        if (end != nullptr) end->KSEDump();
    }
    if (serviceName == nullptr || end == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No service name or endpoint given");
        return KES_ERR_ARGUMENT;
    }
    unsigned int socket = end->KSEGetEndPointSocket();
    CKesVarBind* binding = new CKesVarBind(serviceName, static_cast<int>(socket));
    CKesIOWorkPacket* staleFragment = nullptr;
    bool inUse = false;
    {
        CKesAutoMutex hold(m_EngineLock);
        // A fragment under this handle belongs to a connection that is gone.
        staleFragment = static_cast<CKesIOWorkPacket*>(TableValue(m_FragmentTable, *binding->KVBValue()));
        if (staleFragment != nullptr) m_FragmentTable->KTLDelete(binding->KVBValue());
        inUse = TableValue(m_ServerSocketTable, *binding->KVBValue()) != nullptr;
        if (!inUse) {
            CKesPointer* holder = new CKesPointer(binding);
            int added = m_ServerSocketTable->KTLAdd(binding->KVBValue(), holder, TRUE);
            if (added != 1) {
                CKesError(added, kSource, __LINE__, nullptr);
                delete holder;
                inUse = true; // not filed: the binding goes below
            }
        }
    }
    delete staleFragment;
    if (inUse) {
        fprintf(stderr, "WARNING: You have attempted to add a server side client socket on socket %u"
                        " when this socket is already in use.\n", socket);
        delete binding;
    }
    int result = KSERegisterIO(socket, __LINE__);
    if (KesTraceOn(3)) {
        KesTrace("leaving CKesSockEngine::KSEAddNewServerSocket(%s Info: ", serviceName);
        end->KSEDump();
    }
    return result;
}

int CKesSockEngine::KSERemoveServer(char* serviceName)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSERemoveServer(%s).\n", serviceName ? serviceName : "NULL");
    if (serviceName == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No service name given");
        return KES_ERR_ARGUMENT;
    }
    // The server's accepted sockets: off the event loop first, so that no
    // new packet for them is read, then out of the table.
    std::vector<unsigned int> sockets;
    {
        CKesAutoMutex hold(m_EngineLock);
        for (void* value : TableValues(m_ServerSocketTable)) {
            CKesVarBind* binding = static_cast<CKesVarBind*>(value);
            if (strcmp(binding->KVBName(), serviceName) == 0)
                sockets.push_back(static_cast<unsigned int>(binding->KVBValue()->KAInt()));
        }
    }
    int result = 1;
    for (unsigned int socket : sockets) {
        int removed = KSERemoveIO(socket, __LINE__);
        if (removed != 1) result = removed;
    }
    // A read that began before the removal must end before the server's
    // destruction closes these sockets.
    for (unsigned int socket : sockets) KRNWaitForDispatch(socket);
    for (unsigned int socket : sockets) {
        CKesVarBind* binding = KSETakeBinding(socket, serviceName);
        delete binding;
        KSEDropFragment(socket);
    }

    CKesObjSockServer* server = nullptr;
    {
        // Out of the table first, so no new packet is routed to it, then wait
        // until no worker is inside it any more.
        CKesAutoMutex hold(m_EngineLock);
        server = KSEFindServer(serviceName);
        if (server == nullptr) return result;
        if (server == t_ServerInUse) {
            CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "A server cannot be removed from inside its own callbacks");
            return KES_ERR_ARGUMENT;
        }
        int deleted = m_ServerTable->KTLDelete(serviceName);
        if (deleted != 1) CKesError(result = deleted, kSource, __LINE__, nullptr);
        m_ServerIdle.wait(m_EngineLock, [&] { return m_ServerUses.count(server) == 0; });
    }
    int terminated = server->KOSSTerminate();
    if (terminated != 1) CKesError(result = terminated, kSource, __LINE__, nullptr);
    delete server;
    return result;
}

CKesVarBind* CKesSockEngine::KSETakeBinding(unsigned int socket, const char* serviceName)
{
    CKesAtom key = SocketKey(socket);
    CKesAutoMutex hold(m_EngineLock);
    CKesVarBind* binding = static_cast<CKesVarBind*>(TableValue(m_ServerSocketTable, key));
    if (binding == nullptr) return nullptr;
    if (serviceName != nullptr && strcmp(binding->KVBName(), serviceName) != 0) return nullptr;
    int deleted = m_ServerSocketTable->KTLDelete(&key);
    if (deleted != 1) {
        CKesError(deleted, kSource, __LINE__, nullptr);
        return nullptr;
    }
    return binding;
}

int CKesSockEngine::KSERemoveServerClientSocket(CKesSockEnd* end)
{
    if (KesTraceOn(3)) {
        KesTrace("CKesSockEngine::KSERemoveServerClientSocket(");
        if (KesTraceOn(4) && end != nullptr) end->KSEDump();
        KesTrace(").\n");
    }
    if (end == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No endpoint given");
        return KES_ERR_ARGUMENT;
    }
    unsigned int socket = end->KSEGetEndPointSocket();
    CKesAtom key = SocketKey(socket);
    {
        CKesAutoMutex hold(m_EngineLock);
        if (TableValue(m_ServerSocketTable, key) == nullptr) return 1;
    }
    int result = KSERemoveIO(socket, __LINE__);
    delete KSETakeBinding(socket, nullptr);
    KSEDropFragment(socket);
    return result;
}

int CKesSockEngine::KSEAddClient(CKesObjSockClient* client)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSEAddClient().\n");
    if (client == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No client given");
        return KES_ERR_ARGUMENT;
    }
    int result = client->KOSCSetController(this);
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    int step = client->KOSCSetMulticastPtr(m_Multicast);
    if (step != 1) CKesError(result = step, kSource, __LINE__, nullptr);

    const char* name = client->KOSCGetServiceName();
    if (name == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "Client has no service name");
        return KES_ERR_ARGUMENT;
    }
    if (KSEFindClient(name) != nullptr) return result;
    step = m_ClientTable->KTLAdd(name, static_cast<void*>(client));
    if (step != 1) CKesError(result = step, kSource, __LINE__, nullptr);
    return result;
}

int CKesSockEngine::KSEAddClientIO(CKesObjSockClient* client)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSEAddClientIO().\n");
    if (client == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No client given");
        return KES_ERR_ARGUMENT;
    }
    unsigned int socket = client->KOSCGetClientTCPSocket();
    CKesAtom key = SocketKey(socket);
    int result = 1;
    CKesIOWorkPacket* staleFragment = nullptr;
    {
        // Filed before the event loop hears of the socket, so that its first
        // bytes are already framed as TCP data.
        CKesAutoMutex hold(m_EngineLock);
        staleFragment = static_cast<CKesIOWorkPacket*>(TableValue(m_FragmentTable, key));
        if (staleFragment != nullptr) m_FragmentTable->KTLDelete(&key);
        if (m_ClientSocketTable != nullptr && TableValue(m_ClientSocketTable, key) == nullptr) {
            int added = m_ClientSocketTable->KTLAdd(&key, static_cast<void*>(client), TRUE);
            if (added != 1) CKesError(result = added, kSource, __LINE__, nullptr);
        }
    }
    delete staleFragment;
    int registered = KSERegisterIO(socket, __LINE__);
    if (registered != 1) result = registered;
    if (KesTraceOn(4)) KesTrace("leaving CKesSockEngine::KSEAddClientIO().\n");
    return result;
}

int CKesSockEngine::KSECloseClientIO(CKesObjSockClient* client)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSECloseClientIO().\n");
    if (client == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No client given");
        return KES_ERR_ARGUMENT;
    }
    unsigned int socket = client->KOSCGetClientTCPSocket();
    if (socket == KES_INVALID_SOCKET) return 1;
    int result = KSERemoveIO(socket, __LINE__);
    CKesAtom key = SocketKey(socket);
    {
        CKesAutoMutex hold(m_EngineLock);
        if (TableValue(m_ClientSocketTable, key) != nullptr) {
            int deleted = m_ClientSocketTable->KTLDelete(&key);
            if (deleted != 1) CKesError(result = deleted, kSource, __LINE__, nullptr);
        }
    }
    KSEDropFragment(socket);
    return result;
}

int CKesSockEngine::KSERemoveClient(CKesObjSockClient* client)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSERemoveClient().\n");
    if (client == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No client given");
        return KES_ERR_ARGUMENT;
    }
    int result = KSECloseClientIO(client);
    const char* name = client->KOSCGetServiceName();
    // Only this client's own entry: a second client refused for the same
    // name must not take the first one's entry with it.
    if (name == nullptr || KSEFindClient(name) != client) return result;
    int deleted = m_ClientTable->KTLDelete(name);
    if (deleted != 1) CKesError(result = deleted, kSource, __LINE__, nullptr);
    return result;
}

CKesObjSockServer* CKesSockEngine::KSEGetServer(const char* serviceName)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSEGetServer(%s).\n", serviceName ? serviceName : "NULL");
    return KSEFindServer(serviceName);
}

CKesObjSockClient* CKesSockEngine::KSEGetClient(const char* serviceName)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSEGetClient(%s).\n", serviceName ? serviceName : "NULL");
    return KSEFindClient(serviceName);
}

CKesObjMulticast* CKesSockEngine::KSEGetMulticast() { return m_Multicast; }

int CKesSockEngine::KSESendToAll(CKesRecord* record)
{
    if (KesTraceOn(3)) {
        KesTrace("CKesSockEngine::KSESendToAll(");
        if (KesTraceOn(4) && record != nullptr) {
            record->KRPrint();
            fflush(stdout);
        }
        KesTrace(").\n");
    }
    if (record == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No record given");
        return KES_ERR_ARGUMENT;
    }
    int result = 1;
    for (void* value : TableValues(m_ClientSocketTable)) {
        CKesObjSockClient* client = static_cast<CKesObjSockClient*>(value);
        if (client->KOSCGetState() == 3) result = client->KOSCSendToServer(record);
    }
    for (void* server : TableValues(m_ServerTable))
        result = static_cast<CKesObjSockServer*>(server)->KOSSBroadcastClients(record);
    return result;
}

// ---- receive path ----------------------------------------------------------------

void CKesSockEngine::OnIO(CMOMRvIO* io)
{
    if (io == nullptr) return;
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::OnIO().\n");
    unsigned int socket = io->Source();
    int available = KesGetSocketPacketLength(socket);
    if (KesTraceOn(4)) KesTrace("Received IO on %u of length %d.\n", socket, available);

    unsigned char* buffer = nullptr;
    sockaddr* address = nullptr;
    unsigned int addressLength = KES_SOCKADDR_IN_LEN;
    int length = available;
    if (available >= 0) {
        // Only the byte after what is read needs zeroing: clearing the whole
        // buffer first would cost one more pass over every large read.
        buffer = static_cast<unsigned char*>(malloc(static_cast<size_t>(available) + 1));
        addressLength = SourceAddressLength(socket);
        address = static_cast<sockaddr*>(calloc(addressLength, 1));
        length = KSEReadSocket(socket, buffer, available, address, addressLength);
        if (buffer != nullptr) buffer[length > 0 ? length : 0] = 0;
    }
    if (length < 0) {
        if (KesTraceOn(4)) KesReportSocketError(socket, "Ignoring packet due to socket error");
        free(buffer);
        free(address);
        return;
    }
    if (length == 0) {
        KSEDeliverClosed(socket, buffer, address, addressLength);
        return;
    }
    if (KSEIsOwnedStream(socket)) {
        int result = KSECheckSockPacket(socket, buffer, length, address, static_cast<int>(addressLength));
        if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
        return;
    }
    // The multicast socket or one a derived engine registered: one datagram,
    // delivered whole.
    KSEQueue(new CKesIOWorkPacket(socket, buffer, static_cast<unsigned int>(length), this, address, addressLength),
             __LINE__);
}

int CKesSockEngine::KSEReadSocket(unsigned int socket, unsigned char* buffer, int available, sockaddr* address,
                                  unsigned int addressLength)
{
    if (buffer == nullptr || address == nullptr) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, "Read buffer cannot be allocated");
        return KES_ERR_ALLOCATION;
    }
    socklen_t fromLength = addressLength;
    ssize_t got = recvfrom(static_cast<int>(socket), buffer, static_cast<size_t>(available), 0, address, &fromLength);
    if (got >= 0) return static_cast<int>(got);
    if (!KesSocketPeerGone(KesLastSocketError())) return -1;
    if (IsDatagramSocket(socket)) {
        if (__Kesworks_Debug_Level != 0) KesTrace("Got ICMP port unreachable on socket %u\n", socket);
        return -1;
    }
    if (__Kesworks_Debug_Level != 0) KesTrace("Far end of link on socket %u has dropped the connection\n", socket);
    return 0;
}

void CKesSockEngine::KSEDeliverClosed(unsigned int socket, unsigned char* buffer, sockaddr* address,
                                      unsigned int addressLength)
{
    // Whatever was pending belonged to the connection that has just ended.
    KSEDropFragment(socket);
    CKesIOWorkPacket packet(socket, buffer, 0, this, address, addressLength);
    KSEProcessIO(&packet);
}

int CKesSockEngine::KSECheckSockPacket(unsigned int socket, unsigned char* data, int length, sockaddr* source,
                                       int sourceLength)
{
    if (data == nullptr || length < 0) {
        free(data);
        free(source);
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No data given");
        return KES_ERR_ARGUMENT;
    }
    unsigned int sourceLen = source != nullptr && sourceLength > 0 ? static_cast<unsigned int>(sourceLength) : 0;
    unsigned char* run = data;
    unsigned int runLength = static_cast<unsigned int>(length);
    unsigned int offset = 0;
    int result = 1;

    CKesIOWorkPacket* fragment = KSETakeFragment(socket);
    if (fragment != nullptr) {
        KSETraceJoin(fragment, data, runLength);
        if (DeclaredLength(fragment) >= 0) {
            // The fragment's buffer already has room for its whole packet:
            // append in place rather than re-join, so a large packet costs
            // time linear in its size however many reads it takes.
            offset = KSEFillFragment(socket, fragment, data, runLength, &result);
        } else {
            run = KSEJoin(fragment, data, runLength, &runLength);
            delete fragment;
            free(data);
            if (run == nullptr) {
                free(source);
                return KES_ERR_ALLOCATION;
            }
        }
    }
    if (offset == runLength) {
        free(run);
        free(source);
        return result;
    }
    int split = KSESplitRun(socket, run + offset, runLength - offset, source, sourceLen);
    if (split != 1) result = split;
    free(run);
    return result;
}

void CKesSockEngine::KSETraceJoin(const CKesIOWorkPacket* fragment, const unsigned char* data, unsigned int length)
{
    if (!KesTraceOn(4)) return;
    unsigned int fragmentLength = fragment->KIWPGetPacketLength();
    KesTrace("Adding chopped packets - Packet A %.*s Len: %u Packet B %.*s Len: %u\n",
             static_cast<int>(fragmentLength), reinterpret_cast<const char*>(fragment->KIWPGetPacket()),
             fragmentLength, static_cast<int>(length), reinterpret_cast<const char*>(data), length);
    long long declared = DeclaredLength(fragment);
    if (declared < 0)
        KesTrace("Total packet should be unknown (header incomplete) Packet is %llu\n",
                 static_cast<unsigned long long>(fragmentLength) + length);
    else
        KesTrace("Total packet should be %lld Packet is %llu\n", declared,
                 static_cast<unsigned long long>(fragmentLength) + length);
}

unsigned int CKesSockEngine::KSEFillFragment(unsigned int socket, CKesIOWorkPacket* fragment,
                                             const unsigned char* data, unsigned int length, int* result)
{
    unsigned long long declared = static_cast<unsigned long long>(DeclaredLength(fragment));
    unsigned long long total = declared + CKesRecHdr::ms_HeaderLength;
    unsigned int have = fragment->KIWPGetPacketLength();
    unsigned long long missing = total - have;
    unsigned int take = missing < length ? static_cast<unsigned int>(missing) : length;
    unsigned char* buffer = fragment->KIWPGetPacket();
    memcpy(buffer + have, data, take);
    fragment->KIWPSetPacketLength(have + take);
    if (have + take < total) {
        int kept = KSEKeepFragment(socket, fragment);
        if (kept != 1) *result = kept;
        return take;
    }
    // Complete: the payload moves to the front of the same buffer, which the
    // fragment then carries to a worker as the packet.
    memmove(buffer, buffer + CKesRecHdr::ms_HeaderLength, static_cast<size_t>(declared));
    fragment->KIWPSetPacketLength(static_cast<unsigned int>(declared));
    int queued = KSEQueue(fragment, __LINE__);
    if (queued != 1) *result = queued;
    return take;
}

unsigned char* CKesSockEngine::KSEJoin(const CKesIOWorkPacket* fragment, const unsigned char* data,
                                       unsigned int length, unsigned int* joinedLength)
{
    unsigned int fragmentLength = fragment->KIWPGetPacketLength();
    size_t joined = static_cast<size_t>(fragmentLength) + length;
    unsigned char* run = static_cast<unsigned char*>(malloc(joined + 1));
    if (run == nullptr) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, "Joined packet cannot be allocated");
        return nullptr;
    }
    if (fragmentLength > 0) memcpy(run, fragment->KIWPGetPacket(), fragmentLength);
    memcpy(run + fragmentLength, data, length);
    run[joined] = 0;
    *joinedLength = static_cast<unsigned int>(joined);
    return run;
}

int CKesSockEngine::KSESplitRun(unsigned int socket, unsigned char* run, unsigned int length, sockaddr* source,
                                unsigned int sourceLength)
{
    int result = 1;
    CKesRecHdr header;
    CKesStack* stack = header.KRHGetWorkStack(run, length);
    if (stack != nullptr) {
        while (CKesIOWorkPacket* packet = static_cast<CKesIOWorkPacket*>(stack->KSPop())) {
            if (source != nullptr && sourceLength > 0)
                packet->KIWPSetSource(const_cast<const sockaddr*>(source), sourceLength);
            packet->KIWPSetSockServer(this);
            packet->KIWPSetSocket(socket);
            int queued = KSEQueue(packet, __LINE__);
            if (queued != 1) result = queued;
        }
        delete stack;
    }
    if (header.KRHIsBroken()) {
        KSEBreakConnection(socket, source, sourceLength);
        return result;
    }
    unsigned char* tail = header.KRHGetData();
    int tailLength = header.KRHGetTotalLen();
    if (tail == nullptr || tailLength < 1) {
        free(source);
        return result;
    }
    header.KRHInitialise(); // the tail is ours from here on
    int kept = KSEKeepTail(socket, tail, static_cast<unsigned int>(tailLength), source, sourceLength);
    return kept != 1 ? kept : result;
}

int CKesSockEngine::KSEKeepTail(unsigned int socket, unsigned char* tail, unsigned int tailLength,
                                sockaddr* source, unsigned int sourceLength)
{
    long long declared = CKesRecHdr::KRHPeekDataLen(tail, tailLength);
    if (declared >= 0) {
        // Sized once for the whole packet; later reads append to it.
        size_t total = static_cast<size_t>(declared) + CKesRecHdr::ms_HeaderLength;
        unsigned char* whole = static_cast<unsigned char*>(realloc(tail, total));
        if (whole == nullptr) {
            CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, "Buffer for an incomplete packet cannot be allocated");
            free(tail);
            KSEBreakConnection(socket, source, sourceLength);
            return KES_ERR_ALLOCATION;
        }
        tail = whole;
    }
    return KSEKeepFragment(socket, new CKesIOWorkPacket(socket, tail, tailLength, this, source, sourceLength));
}

void CKesSockEngine::KSEBreakConnection(unsigned int socket, sockaddr* source, unsigned int sourceLength)
{
    // The stream can no longer be framed: no more reads from it, nothing
    // pending, and its owner hears of it as of a closed connection.
    KSERemoveIO(socket, __LINE__);
    KSEDropFragment(socket);
    unsigned char* empty = static_cast<unsigned char*>(calloc(1, 1));
    CKesIOWorkPacket packet(socket, empty, 0, this, source, sourceLength);
    KSEProcessIO(&packet);
}

void CKesSockEngine::KSEAddWorkToIOPool(CKesIOWorkPacket* packet)
{
    if (packet == nullptr) {
        if (KesTraceOn(1)) KesTrace("Will not add a NULL packet to the IO pool\n");
        return;
    }
    KSEQueue(packet, __LINE__);
}

void CKesSockEngine::KSEWorkerProc(void* work, void*)
{
    CKesIOWorkPacket* packet = static_cast<CKesIOWorkPacket*>(work);
    if (packet == nullptr) return;
    CKesSockEngine* engine = static_cast<CKesSockEngine*>(packet->KIWPGetSockServer());
    if (engine != nullptr) engine->KSEProcessIO(packet);
    delete packet;
}

void CKesSockEngine::KSEReleaseServerUse(CKesObjSockServer* server)
{
    CKesAutoMutex hold(m_EngineLock);
    auto use = m_ServerUses.find(server);
    if (use == m_ServerUses.end() || --use->second > 0) return;
    m_ServerUses.erase(use);
    m_ServerIdle.notify_all();
}

void CKesSockEngine::KSEProcessIO(CKesIOWorkPacket* packet)
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEProcessIO().\n");
    if (packet == nullptr) return;
    unsigned int socket = packet->KIWPGetSocket();
    CKesAtom key = SocketKey(socket);

    bool serverSide = false;
    CKesObjSockServer* server = nullptr;
    CKesObjSockClient* client = nullptr;
    {
        // The binding is read under the lock so that a removal on another
        // thread cannot free it while its name is in use.
        CKesAutoMutex hold(m_EngineLock);
        CKesVarBind* binding = static_cast<CKesVarBind*>(TableValue(m_ServerSocketTable, key));
        serverSide = binding != nullptr;
        if (serverSide) server = KSEFindServer(binding->KVBName());
        if (server != nullptr) ++m_ServerUses[server];
        if (!serverSide) client = static_cast<CKesObjSockClient*>(TableValue(m_ClientSocketTable, key));
    }
    int result = 1;
    if (serverSide) {
        if (server == nullptr) {
            CKesError(KES_ERR_NO_SERVER, kSource, __LINE__, "Packet for a service that has no server");
            return;
        }
        CKesObjSockServer* outer = t_ServerInUse;
        t_ServerInUse = server;
        result = server->KOSSProcessPacket(packet);
        t_ServerInUse = outer;
        KSEReleaseServerUse(server);
    } else if (client != nullptr) {
        result = client->KOSCProcessPacket(packet);
    } else if (m_Multicast != nullptr && socket == m_Multicast->KOMGetReceiveSocket()) {
        result = KSEProcessMulticast(packet);
    } else {
        KesOnRvIO(packet);
    }
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
}

// ---- multicast discovery -----------------------------------------------------------

int CKesSockEngine::KSEStartMulticast()
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEStartMulticast().\n");
    const std::string path = CKesEnv::KEServiceFilePath();
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEStartMulticast() - going to parse the ServiceData.cfg file\n");

    CKesServiceDataParser parser;
    int parsed = parser.KSDPParseFromFile(path.c_str());
    if (parsed != 1) CKesError(parsed, kSource, __LINE__, nullptr);

    CKesSockEnd* entry = parser.KSDPGetServiceData(kAnyDomain, kMulticastService);
    if (entry == nullptr) {
        fprintf(stderr, "Server for service %s is not available...\n", kMulticastService);
        CKesError(KES_ERR_SERVICE_ENTRY, kSource, __LINE__, nullptr);
        return KES_ERR_SERVICE_ENTRY;
    }
    int result = KSEStartMulticastServer(entry);
    if (result != 1) return result;
    result = KSEAddMulticastIO();
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

int CKesSockEngine::KSEStartMulticastServer(CKesSockEnd* end)
{
    if (KesTraceOn(3)) {
        KesTrace("CKesSockEngine::KSEStartMulticastServer().");
        if (end != nullptr) end->KSEDump();
    }
    if (end == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No multicast service entry given");
        return KES_ERR_ARGUMENT;
    }
    // A channel left by a failed attempt is closed before a new one is made.
    KSEDestroyMulticast();
    m_Multicast = new CKesObjMulticast(end);
    m_Multicast->KOMSetLoopback(TRUE);
    return m_Multicast->KOMInitialise();
}

int CKesSockEngine::KSEAddMulticastIO()
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEAddMulticastIO().\n");
    if (m_Multicast == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No multicast channel");
        return KES_ERR_ARGUMENT;
    }
    unsigned int socket = m_Multicast->KOMGetReceiveSocket();
    if (socket == KES_INVALID_SOCKET) {
        CKesError(KES_ERR_INVALID_SOCKET, kSource, __LINE__, "The multicast channel has no receive socket");
        return KES_ERR_INVALID_SOCKET;
    }
    int result = KSERegisterIO(socket, __LINE__);
    if (KesTraceOn(4)) KesTrace("Adding multicast IO on %u\n", socket);
    return result;
}

int CKesSockEngine::KSEProcessMulticast(CKesIOWorkPacket* packet)
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEProcessMulticast().\n");
    if (packet == nullptr) return KES_ERR_ARGUMENT;
    CKesRecord record;
    int result = record.KOMDecode(packet->KIWPGetPacket(), packet->KIWPGetPacketLength());
    if (result != 1) return result;
    if (KesTraceOn(4)) KesTrace("Got multicast data ");

    if (record.KRValueOf(CKesSockEnd::ms_AddressReply) != nullptr) result = KSEProcessAddressReply(&record);
    else if (record.KRValueOf(CKesSockEnd::ms_AddressRequest) != nullptr) result = KSEProcessAddressRequest(&record);
    else result = KSEProcessMulticastTraffic(&record);
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

// The service a discovery record names, or null when it names none.
static const char* NamedService(const CKesRecord* record)
{
    if (record == nullptr) return nullptr;
    const CKesAtom* name = record->KRValueOf(CKesSockEnd::ms_ServiceNameField);
    if (name == nullptr || name->KAType() != KES_DT_STRING) return nullptr;
    return name->KAString();
}

int CKesSockEngine::KSEProcessAddressRequest(CKesRecord* record)
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEProcessAddressRequest().\n");
    const char* name = NamedService(record);
    CKesObjSockServer* server = name != nullptr ? KSEFindServer(name) : nullptr;
    if (server == nullptr) return 1;
    server->KOSSProcessAddressRequest(record);
    if (KesTraceOn(4)) KesTrace("Forwarding AddrReq to SockServer %s\n", name);
    return 1;
}

int CKesSockEngine::KSEProcessAddressReply(CKesRecord* record)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSEProcessAddressReply().\n");
    const char* name = NamedService(record);
    CKesObjSockClient* client = name != nullptr ? KSEFindClient(name) : nullptr;
    if (client == nullptr) return 1;
    client->KOSCProcessAddressReply(record);
    return 1;
}

int CKesSockEngine::KSEProcessMulticastTraffic(CKesRecord*)
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEProcessMulticastTraffic().\n");
    return 1;
}
