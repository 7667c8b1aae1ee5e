// CKesSockEngine: construction and destruction, and the registries of
// servers, clients and their sockets with the count of threads inside each
// server and client. The receive path is in CKesSockEngineReceive.cpp, multicast
// discovery in CKesSockEngineDiscovery.cpp.
#include "CKesSockEngine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "CKesAtom.h"
#include "CKesAutoMutex.h"
#include "CKesDoubleList.h"
#include "CKesError.h"
#include "CKesIOWorkPacket.h"
#include "CKesInstallationKey.h"
#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesPageFiller.h"
#include "CKesPointer.h"
#include "CKesReceiveBacklog.h"
#include "CKesRecord.h"
#include "CKesServPool.h"
#include "CKesSockEnd.h"
#include "CKesTreeList.h"
#include "CKesVarBind.h"
#include "KesCheck.h"
#include "KesEngineTables.h"
#include "KesErrorCodes.h"

using kesengine::kSource;
using kesengine::OwnedPacket;
using kesengine::SocketKey;
using kesengine::TableValue;
using kesengine::TableValues;

namespace {

constexpr const char* kHoldsEngineLock = "caller holds the engine lock";

} // namespace

std::vector<void*> kesengine::TableValues(CKesTreeList* table)
{
    std::vector<void*> values;
    if (table == nullptr) return values;
    CKesDoubleList* list = table->KTLIterator();
    if (list == nullptr) return values;
    for (CKesListable* item = list->KDLHead(); item != nullptr; item = list->KDLGetNext(item))
        values.push_back(static_cast<CKesPointer*>(item)->KPData());
    return values;
}

// ---- construction and destruction ------------------------------------------

CKesSockEngine::CKesSockEngine(const char* name, __serv_types type, int poolSize)
    : CKesEngine(name, type), CMOMRvIOCallback(), m_IOPool(nullptr), m_EngineLock(), m_ServerTable(nullptr),
      m_ServerSocketTable(nullptr), m_ClientTable(nullptr), m_ClientSocketTable(nullptr),
      m_Multicast(nullptr), m_FragmentTable(nullptr)
{
    KSECreate(poolSize);
}

CKesSockEngine::CKesSockEngine(char* name, __serv_types type, int poolSize)
    : CKesEngine(name, type), CMOMRvIOCallback(), m_IOPool(nullptr), m_EngineLock(), m_ServerTable(nullptr),
      m_ServerSocketTable(nullptr), m_ClientTable(nullptr), m_ClientSocketTable(nullptr),
      m_Multicast(nullptr), m_FragmentTable(nullptr)
{
    KSECreate(poolSize);
}

CKesSockEngine::~CKesSockEngine() { ReleaseAll(); }

int CKesSockEngine::KSECreate(int poolSize)
{
    m_InstallationKey = std::make_unique<CKesInstallationKey>();
    m_InstallationKey->KIKLoadFile(CKesInstallationKey::KIKDefaultPath());
    m_PageFiller = std::make_unique<CKesPageFiller>();
    m_IOPool = new CKesServPool(poolSize, nullptr);
    int result = m_IOPool->KSPLaunchThreads(&CKesSockEngine::KSEWorkerProc);
    if (result != 1) CKesError(result, kSource, __LINE__, "The IO pool's threads cannot be started");

    m_ServerTable = new CKesTreeList(FALSE);
    m_ServerSocketTable = new CKesTreeList(FALSE);
    m_ClientTable = new CKesTreeList(FALSE);
    m_ClientSocketTable = new CKesTreeList(FALSE);
    m_FragmentTable = new CKesTreeList(FALSE);
    m_Multicast = nullptr;
    m_MulticastInterface = MulticastInterfaceFromEnvironment();

    for (int attempt = 1;; ++attempt) {
        result = KSEStartMulticast();
        if (result == 1) return 1;
        CKesError(result, kSource, __LINE__, nullptr);
        if (attempt >= ms_MulticastAttempts) break;
        KesSleep(ms_MulticastRetryMs);
    }
    CKesError(KES_ERR_MULTICAST_UNAVAILABLE, kSource, __LINE__,
              "Unable to access the multicast service, exiting.");
    // Stop the workers and free what was built so that the process ends with
    // no thread running and nothing half-made; then leave with a status that
    // tells a supervisor why.
    ReleaseAll();
    fflush(stdout);
    fflush(stderr);
    exit(ms_MulticastUnavailableExit);
}

void CKesSockEngine::KSEStopWorkers()
{
    KRNEndReaders(); // a reader may still be processing the packet it read
    delete m_IOPool; // processes what is still queued, then joins the workers
    m_IOPool = nullptr;
}

void CKesSockEngine::ReleaseAll()
{
    KSEStopWorkers();
    // No worker is left, but a host may keep copies of packets, and with
    // them their connections' backlogs, past the engine and its loop.
    m_ReadStates.ForEach([](ReadState& state) {
        if (state.backlog != nullptr) state.backlog->Retire();
    });
    DestroyServerSockets();
    DestroyServers();
    DestroyClientSockets();
    DestroyClients();
    DestroyFragments();
    DestroyMulticast();
}

void CKesSockEngine::DestroyServerSockets()
{
    CKesTreeList* table = m_ServerSocketTable;
    for (void* value : TableValues(table)) {
        CKesVarBind* binding = static_cast<CKesVarBind*>(value);
        RemoveIO(static_cast<unsigned int>(binding->KVBValue()->KAInt()), __LINE__);
        delete binding;
    }
    // Cleared before the table goes, so that a server destroyed next finds
    // no table instead of a dead one when it lets its clients go.
    m_ServerSocketTable = nullptr;
    delete table;
    ForgetOwners([](Owner& owner) {
        if (owner.serverSide) owner = Owner{};
    });
}

void CKesSockEngine::DestroyServers()
{
    CKesTreeList* table = m_ServerTable;
    std::vector<void*> servers = TableValues(table);
    m_ServerTable = nullptr;
    delete table;
    ForgetOwners([](Owner& owner) { owner.server = nullptr; });
    for (void* server : servers) delete static_cast<CKesObjSockServer*>(server);
}

void CKesSockEngine::DestroyClientSockets()
{
    // A client's connect thread may still file a socket now (the clients
    // stop later): the table is taken out under the engine lock, after which
    // no other thread can reach it, and a late filing finds no table.
    CKesTreeList* table = nullptr;
    {
        CKesAutoMutex hold(m_EngineLock);
        table = std::exchange(m_ClientSocketTable, nullptr);
    }
    for (void* client : TableValues(table))
        RemoveIO(static_cast<CKesObjSockClient*>(client)->KOSCGetClientTCPSocket(), __LINE__);
    delete table;
    ForgetOwners([](Owner& owner) {
        if (owner.client != nullptr) owner = Owner{};
    });
}

// A client's connect thread may still file a socket while the engine is
// being destroyed: the owner index changes under the engine lock only.
void CKesSockEngine::ForgetOwners(void (*forget)(Owner&))
{
    {
        CKesAutoMutex hold(m_EngineLock);
        m_SocketOwners.ForEach(forget);
    }
    ++m_OwnerChanges;
}

void CKesSockEngine::DestroyClients()
{
    CKesTreeList* table = m_ClientTable;
    std::vector<void*> clients = TableValues(table);
    m_ClientTable = nullptr;
    delete table;
    for (void* client : clients) delete static_cast<CKesObjSockClient*>(client);
}

void CKesSockEngine::DestroyFragments()
{
    CKesTreeList* table = m_FragmentTable;
    std::vector<void*> fragments = TableValues(table);
    m_FragmentTable = nullptr;
    delete table;
    for (void* fragment : fragments) delete static_cast<CKesIOWorkPacket*>(fragment);
}

void CKesSockEngine::DestroyMulticast()
{
    if (m_Multicast == nullptr) return;
    unsigned int socket = m_Multicast->KOMGetReceiveSocket();
    if (socket != KES_INVALID_SOCKET) RemoveIO(socket, __LINE__);
    delete m_Multicast;
    m_Multicast = nullptr;
}

// ---- event-loop calls and lookups shared by the engine's files ---------------

int CKesSockEngine::RemoveIO(unsigned int socket, int line)
{
    int result = KRNRemoveIO(socket);
    if (result != 1) CKesError(result, kSource, line, nullptr);
    return result;
}

int CKesSockEngine::RegisterIO(unsigned int socket, int line)
{
    int result = KRNAddIOHandle(socket, TRUE, FALSE, FALSE, this);
    if (result != 1) CKesError(result, kSource, line, nullptr);
    return result;
}

CKesObjSockServer* CKesSockEngine::FindServer(const char* serviceName)
{
    return static_cast<CKesObjSockServer*>(TableValue(m_ServerTable, serviceName));
}

CKesObjSockClient* CKesSockEngine::FindClient(const char* serviceName)
{
    return static_cast<CKesObjSockClient*>(TableValue(m_ClientTable, serviceName));
}

CKesSockEngine::Owner CKesSockEngine::OwnerOf(unsigned int socket) const
{
    const Owner* owner = m_SocketOwners.Find(socket);
    return owner != nullptr ? *owner : Owner{};
}

void CKesSockEngine::FileOwner(unsigned int socket, const Owner& owner)
{
    if (socket == KES_INVALID_SOCKET) return;
    m_SocketOwners[socket] = owner;
    ++m_OwnerChanges;
}

void CKesSockEngine::UnfileOwner(unsigned int socket, bool serverSide)
{
    Owner* owner = m_SocketOwners.Find(socket);
    if (owner == nullptr || owner->serverSide != serverSide) return;
    *owner = Owner{};
    ++m_OwnerChanges;
}

void CKesSockEngine::PointSocketsAt(const char* serviceName, CKesObjSockServer* server)
{
    for (void* value : TableValues(m_ServerSocketTable)) {
        const CKesVarBind* binding = static_cast<CKesVarBind*>(value);
        const auto socket = static_cast<unsigned int>(binding->KVBValue()->KAInt());
        Owner* owner = m_SocketOwners.Find(socket);
        if (owner != nullptr && strcmp(binding->KVBName(), serviceName) == 0) owner->server = server;
    }
}

// ---- virtual operations ------------------------------------------------------

void CKesSockEngine::KNSafeExit()
{
    std::vector<Counted> servers;
    {
        CKesAutoMutex hold(m_EngineLock);
        servers = CountInAll(m_ServerTable);
    }
    for (const Counted& server : servers) {
        InUse use(*this, server.object, server.count);
        static_cast<CKesObjSockServer*>(server.object)->KOSSTerminate();
    }
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
    if (FindServer(name) != nullptr) {
        fprintf(
            stderr,
            "WARNING: You have attempted to add a server on service %s when this socket engine already has a "
            "server on this subject.\n",
            name);
        return KES_ERR_DUPLICATE_SERVER;
    }
    step = m_ServerTable->KTLAdd(name, static_cast<void*>(server));
    if (step != 1) CKesError(result = step, kSource, __LINE__, nullptr);
    if (step == 1) PointSocketsAt(name, server);
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
    OwnedPacket staleFragment;
    bool inUse = false;
    {
        CKesAutoMutex hold(m_EngineLock);
        // A fragment under this handle belongs to a connection that is gone.
        staleFragment = DetachFragment(*binding->KVBValue());
        inUse = TableValue(m_ServerSocketTable, *binding->KVBValue()) != nullptr;
        if (!inUse) {
            CKesPointer* holder = new CKesPointer(binding);
            int added = m_ServerSocketTable->KTLAdd(binding->KVBValue(), holder, TRUE);
            if (added != 1) {
                CKesError(added, kSource, __LINE__, nullptr);
                delete holder;
                inUse = true; // not filed: the binding goes below
            } else {
                FileOwner(socket, Owner{true, FindServer(serviceName), nullptr});
            }
        }
    }
    staleFragment.reset(); // outside the lock
    if (inUse) {
        fprintf(stderr,
                "WARNING: You have attempted to add a server side client socket on socket %u"
                " when this socket is already in use.\n",
                socket);
        delete binding;
    }
    int result = RegisterIO(socket, __LINE__);
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
    // Refused before anything is taken away: the wait below would never end.
    if (InUse::Entered(FindServer(serviceName))) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__,
                  "A server cannot be removed from inside its own callbacks");
        return KES_ERR_ARGUMENT;
    }
    int result = UnfileServerSockets(serviceName);

    CKesObjSockServer* server = nullptr;
    {
        // Out of the table first, so that no thread finds it any more, then
        // wait until every thread that found it has left it.
        CKesAutoMutex hold(m_EngineLock);
        server = FindServer(serviceName);
        if (server == nullptr) return result;
        int deleted = m_ServerTable->KTLDelete(serviceName);
        if (deleted != 1) CKesError(result = deleted, kSource, __LINE__, nullptr);
        PointSocketsAt(serviceName, nullptr);
        WaitUntilUnused(server);
    }
    int terminated = server->KOSSTerminate();
    if (terminated != 1) CKesError(result = terminated, kSource, __LINE__, nullptr);
    // Connections its accept thread filed until termination stopped it.
    int late = UnfileServerSockets(serviceName);
    if (late != 1) result = late;
    delete server;
    return result;
}

int CKesSockEngine::UnfileServerSockets(const char* serviceName)
{
    // Off the event loop first, so that no new packet for them is read, then
    // out of the table.
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
        int removed = RemoveIO(socket, __LINE__);
        if (removed != 1) result = removed;
    }
    // A read that began before the removal must end before the server's
    // destruction closes these sockets.
    for (unsigned int socket : sockets) KRNWaitForDispatch(socket);
    for (unsigned int socket : sockets) {
        delete TakeBinding(socket, serviceName);
        DropFragment(socket);
    }
    return result;
}

CKesVarBind* CKesSockEngine::TakeBinding(unsigned int socket, const char* serviceName)
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
    UnfileOwner(socket, true);
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
    KRNRemoveIO(socket); // a stream that broke has left the loop already: not an error
    delete TakeBinding(socket, nullptr);
    DropFragment(socket);
    return 1;
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
    CKesAutoMutex hold(m_EngineLock);
    if (FindClient(name) != nullptr) return result;
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
    OwnedPacket staleFragment;
    {
        // Filed before the event loop hears of the socket, so that its first
        // bytes are already framed as TCP data.
        CKesAutoMutex hold(m_EngineLock);
        staleFragment = DetachFragment(key);
        if (m_ClientSocketTable != nullptr && TableValue(m_ClientSocketTable, key) == nullptr) {
            int added = m_ClientSocketTable->KTLAdd(&key, static_cast<void*>(client), TRUE);
            if (added != 1) CKesError(result = added, kSource, __LINE__, nullptr);
            if (added == 1) FileOwner(socket, Owner{false, nullptr, client});
        }
    }
    staleFragment.reset(); // outside the lock
    int registered = RegisterIO(socket, __LINE__);
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
    int result = RemoveIO(socket, __LINE__);
    CKesAtom key = SocketKey(socket);
    {
        CKesAutoMutex hold(m_EngineLock);
        if (TableValue(m_ClientSocketTable, key) != nullptr) {
            int deleted = m_ClientSocketTable->KTLDelete(&key);
            if (deleted != 1) CKesError(result = deleted, kSource, __LINE__, nullptr);
            UnfileOwner(socket, false);
        }
    }
    DropFragment(socket);
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
    CKesAutoMutex hold(m_EngineLock);
    // Only this client's own entry: a second client refused for the same
    // name must not take the first one's entry with it.
    if (name != nullptr && FindClient(name) == client) {
        int deleted = m_ClientTable->KTLDelete(name);
        if (deleted != 1) CKesError(result = deleted, kSource, __LINE__, nullptr);
    }
    // The host may destroy the client once this returns, but not from inside
    // its own callbacks, which cannot wait for themselves.
    if (!InUse::Entered(client)) WaitUntilUnused(client);
    return result;
}

CKesObjSockServer* CKesSockEngine::KSEGetServer(const char* serviceName)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSEGetServer(%s).\n", serviceName ? serviceName : "NULL");
    return FindServer(serviceName);
}

CKesObjSockClient* CKesSockEngine::KSEGetClient(const char* serviceName)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSEGetClient(%s).\n", serviceName ? serviceName : "NULL");
    return FindClient(serviceName);
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
    std::vector<Counted> clients, servers;
    {
        CKesAutoMutex hold(m_EngineLock);
        clients = CountInAll(m_ClientSocketTable);
        servers = CountInAll(m_ServerTable);
    }
    int result = 1;
    for (const Counted& counted : clients) {
        InUse use(*this, counted.object, counted.count);
        CKesObjSockClient* client = static_cast<CKesObjSockClient*>(counted.object);
        if (client->KOSCGetState() == KES_CONNECTED) result = client->KOSCSendToServer(record);
    }
    for (const Counted& server : servers) {
        InUse use(*this, server.object, server.count);
        result = static_cast<CKesObjSockServer*>(server.object)->KOSSBroadcastClients(record);
    }
    return result;
}

// ---- servers and clients in use ------------------------------------------------

CKesSockEngine::UseCount* CKesSockEngine::CountIn(const void* object)
{
    KES_CHECK(m_EngineLock.IsHeldByMe(), kHoldsEngineLock);
    if (object == nullptr) return nullptr;
    // The entry stays at zero: erasing it and making it again for the next
    // packet cost an allocation per packet under the engine lock.
    if (object != m_LastCounted) {
        m_LastCount = &m_InUse[object];
        m_LastCounted = object;
    }
    ++*m_LastCount;
    return m_LastCount;
}

std::vector<CKesSockEngine::Counted> CKesSockEngine::CountInAll(CKesTreeList* table)
{
    std::vector<Counted> counted;
    for (void* object : TableValues(table)) counted.push_back({object, CountIn(object)});
    return counted;
}

void CKesSockEngine::CountOut(UseCount* count)
{
    // The count drops before the waiters are looked at, and a removal
    // announces itself before it looks at the count (all sequentially
    // consistent): either this thread sees the waiter and wakes it under the
    // lock, or the waiter sees the count at zero. The entry is not touched
    // after the drop: a removal may erase it from then on.
    if (count->fetch_sub(1) != 1 || m_UnusedWaiters.load() == 0) return;
    CKesAutoMutex hold(m_EngineLock);
    m_Unused.notify_all();
}

void CKesSockEngine::WaitUntilUnused(const void* object)
{
    KES_CHECK(m_EngineLock.IsHeldByMe(), kHoldsEngineLock);
    ++m_UnusedWaiters;
    m_Unused.wait(m_EngineLock, [&] {
        auto use = m_InUse.find(object);
        return use == m_InUse.end() || use->second.load() == 0;
    });
    --m_UnusedWaiters;
    m_InUse.erase(object); // it is being removed: no entry is left behind
    if (object == m_LastCounted) m_LastCounted = m_LastCount = nullptr;
}

thread_local const CKesSockEngine::InUse* CKesSockEngine::InUse::ms_Innermost = nullptr;

CKesSockEngine::InUse::InUse(CKesSockEngine& engine, const void* object, UseCount* count)
    : m_Engine(engine), m_Object(object), m_Count(count), m_Outer(ms_Innermost)
{
    ms_Innermost = this;
}

CKesSockEngine::InUse::~InUse()
{
    ms_Innermost = m_Outer;
    if (m_Count != nullptr) m_Engine.CountOut(m_Count);
}

bool CKesSockEngine::InUse::Entered(const void* object)
{
    if (object == nullptr) return false;
    for (const InUse* use = ms_Innermost; use != nullptr; use = use->m_Outer)
        if (use->m_Object == object) return true;
    return false;
}

// ---- bounds on peers ---------------------------------------------------------

namespace {

template <typename T>
int SetBound(std::atomic<T>& bound, T value, const char* what)
{
    if (value < 1) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, what);
        return KES_ERR_ARGUMENT;
    }
    bound.store(value, std::memory_order_relaxed);
    return 1;
}

} // namespace

int CKesSockEngine::KSESetSendDeadline(int milliseconds)
{
    return SetBound(m_SendDeadlineMs, milliseconds, "A send deadline must be at least 1 ms");
}

int CKesSockEngine::KSESetReceiveBacklogCap(long long bytes)
{
    return SetBound(m_ReceiveBacklogCap, bytes, "A receive backlog cap must be at least 1 byte");
}

size_t CKesSockEngine::KSEKeptBufferBytes() const { return m_PageFiller ? m_PageFiller->KPFKeptBytes() : 0; }

int CKesSockEngine::KSESetReassemblyLimit(long long bytes)
{
    return SetBound(m_ReassemblyLimit, bytes, "A reassembly limit must be at least 1 byte");
}

int CKesSockEngine::KSESetInstallationKey(const unsigned char* key, unsigned int length)
{
    return m_InstallationKey->KIKSetKey(key, length);
}

int CKesSockEngine::KSESetKeptBufferMs(int milliseconds)
{
    if (milliseconds < 0 || !m_PageFiller) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__,
                  m_PageFiller ? "A kept buffer's time cannot be negative"
                               : "The engine has not been created");
        return KES_ERR_ARGUMENT;
    }
    m_PageFiller->KPFSetKeepMs(milliseconds);
    return 1;
}

int CKesSockEngine::KSESetIdentifyDeadline(int milliseconds)
{
    return SetBound(m_IdentifyDeadlineMs, milliseconds, "An identify deadline must be at least 1 ms");
}

int CKesSockEngine::KSESetIdleLimit(int milliseconds)
{
    return SetBound(m_IdleLimitMs, milliseconds, "An idle limit must be at least 1 ms");
}

int CKesSockEngine::KSESetUnackedLimit(int milliseconds)
{
    return SetBound(m_UnackedLimitMs, milliseconds, "An unacknowledged-data limit must be at least 1 ms");
}
