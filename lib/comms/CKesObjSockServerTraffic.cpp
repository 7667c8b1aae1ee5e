// CKesObjSockServer: the client table and the traffic with clients: the
// packet path (identification, early packets, records to the host), sending
// to one client or to all, removing connections, and answering address
// requests. Start-up, accepting and termination are in CKesObjSockServer.cpp.
#include "CKesObjSockServer.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "CKesAtom.h"
#include "CKesAutoMutex.h"
#include "CKesError.h"
#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesPointer.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "CKesVarBind.h"
#include "KesCheck.h"
#include "KesErrorCodes.h"

namespace {

const char* const kSource = "CKesObjSockServer";

// The figures charged for a held early record stay at least what it costs.
static_assert(sizeof(CKesRecord) + 2 * sizeof(void*) + 16 <= CKesObjSockServer::ms_EarlyRecordOverhead);
static_assert(sizeof(CKesVarBind) + sizeof(void*) + 16 <= CKesObjSockServer::ms_EarlyValueOverhead);

// The monotonic clock as of the kernel's last tick: read on every packet for
// the reaper, whose deadlines are seconds and which runs about once a second,
// it costs no read of the time-stamp counter.
long long NowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A bound of the engine in milliseconds, scaled like the other protocol delays.
long long ScaledMs(int milliseconds) { return static_cast<long long>(milliseconds * KesTimeScale()); }

// The endpoint lock the calling thread holds: of which server, and whether
// exclusively. A host callback that sends or removes on the same server does
// not take the lock a second time, and the helpers that need the lock check
// that it is held.
struct EndpointHold {
    const CKesObjSockServer* server = nullptr;
    bool exclusive = false;
};
thread_local EndpointHold t_EndpointHold;

// Holds a server's endpoint lock shared for its lifetime, unless the thread
// already holds it.
class SharedEndpointUse {
public:
    SharedEndpointUse(CKesEndpointLock& lock, const CKesObjSockServer* server)
        : m_Lock(lock), m_Previous(t_EndpointHold), m_Taken(t_EndpointHold.server != server)
    {
        if (!m_Taken) return;
        m_Lock.lock_shared();
        t_EndpointHold = {server, false};
    }
    ~SharedEndpointUse()
    {
        if (!m_Taken) return;
        t_EndpointHold = m_Previous;
        m_Lock.unlock_shared();
    }

private:
    SharedEndpointUse(const SharedEndpointUse&) = delete;
    SharedEndpointUse& operator=(const SharedEndpointUse&) = delete;
    CKesEndpointLock& m_Lock;
    const EndpointHold m_Previous;
    const bool m_Taken;
};

// Holds a server's endpoint lock exclusively (taking it unless the thread
// has taken it already); callbacks made meanwhile see the thread as the
// holder.
class ExclusiveEndpointUse {
public:
    ExclusiveEndpointUse(CKesEndpointLock& lock, const CKesObjSockServer* server, bool taken = false)
        : m_Lock(lock), m_Previous(t_EndpointHold)
    {
        if (!taken) m_Lock.lock();
        t_EndpointHold = {server, true};
    }
    ~ExclusiveEndpointUse()
    {
        t_EndpointHold = m_Previous;
        m_Lock.unlock();
    }

private:
    ExclusiveEndpointUse(const ExclusiveEndpointUse&) = delete;
    ExclusiveEndpointUse& operator=(const ExclusiveEndpointUse&) = delete;
    CKesEndpointLock& m_Lock;
    const EndpointHold m_Previous;
};

} // namespace

// ---- client table ---------------------------------------------------------------------------

// Files an identified connection under its client id and calls
// KOSSOnClientConnect. An id already filed is reported (the owner keeps it)
// and the call still returns 1, without the callback.
int CKesObjSockServer::KOSSAddToClientData(CKesSockEnd* client)
{
    bool connect = false;
    const int result = FileClient(client, &connect);
    if (connect) KOSSOnClientConnect(client);
    return result;
}

// KOSSAddToClientData without the callback: *connect tells whether it is due.
int CKesObjSockServer::FileClient(CKesSockEnd* client, bool* connect)
{
    if (!client || !client->KSEGetEndPointName()) return KES_ERR_ARGUMENT;
    const char* name = client->KSEGetEndPointName();
    if (m_ClientData->KTLGet(name)) {
        KesReportLimited(KES_ERR_DUPLICATE_CLIENT, kSource, __LINE__, name);
        return 1;
    }
    int result = 1;
    auto* holder = new CKesPointer(client);
    int added = m_ClientData->KTLAdd(name, holder);
    if (added != 1) {
        delete holder; // refused: the table did not take the holder
        CKesError(added, kSource, __LINE__, (std::string("client id ") + name + " cannot be filed").c_str());
        result = added;
    }
    if (KesTraceOn(3)) {
        KesTrace("CKesObjSockServer::KOSSAddToClientData(");
        client->KSEDump();
        KesTrace(").\n");
    }
    *connect = true;
    return result;
}

CKesSockEnd* CKesObjSockServer::KOSSGetClient(char* clientId)
{
    return KOSSGetClientData(static_cast<char const*>(clientId));
}

CKesSockEnd* CKesObjSockServer::KOSSGetClientData(char const* clientId)
{
    return static_cast<CKesSockEnd*>(m_ClientData->KTLValueOf(clientId));
}

CKesSockEnd* CKesObjSockServer::FindNewSocket(unsigned int socket)
{
    if (socket == KES_INVALID_SOCKET) return nullptr;
    return static_cast<CKesSockEnd*>(m_NewSockets->KTLValueOf(static_cast<int>(socket)));
}

CKesObjSockServer::Connection* CKesObjSockServer::ConnectionOf(unsigned int socket)
{
    KES_CHECK(t_EndpointHold.server == this, "caller holds the endpoint lock");
    if (m_ConnectionIndex.Covers(socket)) return m_ConnectionIndex.Load(socket);
    // A host callback made under the identify lock may send.
    std::unique_lock<CKesMutex> identify(m_IdentifyLock, std::defer_lock);
    if (!m_IdentifyLock.IsHeldByMe()) identify.lock();
    auto found = m_Connections.find(socket);
    return found != m_Connections.end() ? &found->second : nullptr;
}

__boolean CKesObjSockServer::KOSSIsPacketForServer(unsigned int socket)
{
    return FindNewSocket(socket) ? TRUE : FALSE;
}

// Takes a connection out of the engine and both tables and destroys it;
// removing it twice does nothing.
int CKesObjSockServer::KOSSRemoveClient(CKesSockEnd* client)
{
    if (!client) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
        return KES_ERR_ARGUMENT;
    }
    // Removed already (by another thread, or twice by the receive path).
    RemoveConnection([&]() -> CKesSockEnd* {
        const unsigned int socket = client->KSEGetEndPointSocket();
        return socket != KES_INVALID_SOCKET && FindNewSocket(socket) == client ? client : nullptr;
    });
    return 1;
}

// find() runs under the endpoint lock, held exclusively unless a callback of
// this server holds it already, and names the connection to remove while it
// is still the one meant (null otherwise). endOnLoop: the event-loop thread
// has read the end of that socket; it does not wait for the lock, but leaves
// the socket paused until the lock is let go, and reads the end again then
// (see CKesEndpointLock).
template <typename Find>
void CKesObjSockServer::RemoveConnection(Find find, unsigned int endOnLoop)
{
    // A callback of this server cannot wait for its own packet to finish:
    // the connection is shut down instead, and the receive path removes it
    // when it reads the end of the stream.
    if (t_EndpointHold.server == this) {
        if (CKesSockEnd* client = find())
            shutdown(static_cast<int>(client->KSEGetEndPointSocket()), SHUT_RDWR);
        return;
    }
    unsigned int socket = KES_INVALID_SOCKET;
    std::unique_ptr<CKesSockEnd> released;
    {
        const bool onLoop = endOnLoop != KES_INVALID_SOCKET;
        if (onLoop && !m_EndpointLock.TryLockOrPark(m_Controller, endOnLoop)) return;
        ExclusiveEndpointUse guard(m_EndpointLock, this, onLoop);
        CKesSockEnd* client = find();
        if (!client) return;
        socket = client->KSEGetEndPointSocket();
        released = ReleaseEndpoint(client);
    }
    // The loop may have begun a read of the socket before its removal, and
    // that read may be waiting for the lock to remove this very connection
    // (it has read the end of the stream): the endpoint, whose destruction
    // closes the socket and frees its handle for a new connection, goes once
    // the read has ended, outside the lock.
    if (released && m_Controller) m_Controller->KRNWaitForDispatch(socket);
}

// Caller holds the endpoint lock exclusively. Takes a filed connection out
// of the engine and both tables; the caller destroys it (see RemoveConnection).
std::unique_ptr<CKesSockEnd> CKesObjSockServer::ReleaseEndpoint(CKesSockEnd* client)
{
    KES_CHECK(t_EndpointHold.server == this && t_EndpointHold.exclusive,
              "caller holds the endpoint lock exclusively");
    const unsigned int socket = client->KSEGetEndPointSocket();
    const char* name = client->KSEGetEndPointName();
    const std::string about = std::string(name ? "client " : "unidentified connection on socket ") +
                              (name ? name : std::to_string(socket)) + ": removal failed";
    int result = 1;
    if (m_Controller) {
        int removed = m_Controller->KSERemoveServerClientSocket(client);
        if (removed != 1) {
            CKesError(removed, kSource, __LINE__, about.c_str());
            result = removed;
        }
    }
    KOSSOnClientDisconnect(client);

    // Only the entry that refers to this connection goes: a connection whose
    // id was refused as a duplicate leaves the owner's entry alone.
    CKesPointer* filed = name ? m_ClientData->KTLGet(name) : nullptr;
    if (filed && filed->KPData() == client) {
        int deleted = m_ClientData->KTLDelete(name);
        if (deleted != 1) CKesError(deleted, kSource, __LINE__, about.c_str());
        result = deleted;
    }
    {
        // Its early records and send state go with it; the socket number may
        // be reused once the endpoint below has closed it. No packet or
        // sender uses the entry: each holds the endpoint lock.
        CKesAutoMutex identify(m_IdentifyLock);
        auto found = m_Connections.find(socket);
        if (found != m_Connections.end() && found->second.end == client) {
            m_ConnectionIndex.Store(socket, nullptr);
            m_Connections.erase(found);
        }
    }
    {
        CKesAutoMutex sending(m_SendLock);
        m_OtherSends.erase(client);
    }
    int deleted = m_NewSockets->KTLDelete(static_cast<int>(socket));
    if (result != 1 && KesTraceOn(1)) KesTrace("CKesObjSockServer::KOSSRemoveClient(): result %d\n", result);
    if (deleted == 1) return std::unique_ptr<CKesSockEnd>(client);
    CKesError(deleted, kSource, __LINE__, about.c_str());
    return nullptr;
}

// ---- the packet path -------------------------------------------------------------------------

// One packet of one of this server's connections: a zero-length one ends the
// connection (after termination too); a record identifies the connection,
// waits with it (early), is dropped (keep-alive) or goes to KesOnServerIO.
// Records after termination, packets for sockets that are not (or no longer) this server's, and packets
// of a connection that has ended (its handle reused or not) are ignored.
int CKesObjSockServer::KOSSProcessPacket(CKesIOWorkPacket* packet)
{
    if (KesTraceOn(4)) KesTrace("CKesObjSockServer::KOSSProcessPacket().\n");
    if (!packet) return KES_ERR_ARGUMENT;
    const unsigned int socket = packet->KIWPGetSocket();
    const unsigned int length = packet->KIWPGetPacketLength();
    int result = 1;

    // The end of a connection, after termination too: a closed socket left
    // registered would be reported readable again and again.
    if (length == 0 && packet->KIWPGetPacket() != nullptr) {
        RemoveClosedConnection(*packet);
        if (KesTraceOn(4)) KesTrace("leaving CKesObjSockServer::KOSSProcessPacket().\n");
        return result;
    }
    // Termination marks the state first thing under the server lock: the
    // atomic state alone tells a record whether it came too late.
    if (m_ConnectState.load() == KES_DISCONNECTED) return 1;
    {
        // While the lock is held no connection is closed, so its handle
        // cannot pass to a new one: a packet of a connection that ended
        // after the engine looked at it is told apart here, before the
        // handle's (maybe new) connection is looked up.
        SharedEndpointUse use(m_EndpointLock, this);
        Connection* connection =
            packet->KIWPGetPacket() && !IsFromEndedConnection(*packet) ? ConnectionOf(socket) : nullptr;
        if (connection) {
            CKesSockEnd* client = connection->end;
            CKesRecord* record = packet->KIWPTakeRecord();
            bool handled = false;
            Welcome welcome;
            if (record) result = IdentifyOrHold(*connection, record, length, &handled, &welcome);
            if (welcome.due) FinishIdentification(client, std::move(welcome));
            if (record && !handled) Deliver(client, record);
        }
    }
    if (KesTraceOn(4)) KesTrace("leaving CKesObjSockServer::KOSSProcessPacket().\n");
    return result;
}

// The end of the stream (read by the event loop, or an empty frame a worker
// took from a read): the connection on the packet's socket is removed once
// the packet has been checked against the connection's end, so that a new
// connection on the reused handle is not touched.
void CKesObjSockServer::RemoveClosedConnection(const CKesIOWorkPacket& packet)
{
    const bool onLoop = m_Controller && m_Controller->KRNIsLoopThread();
    RemoveConnection(
        [&]() -> CKesSockEnd* {
            return IsFromEndedConnection(packet) ? nullptr : FindNewSocket(packet.KIWPGetSocket());
        },
        onLoop ? packet.KIWPGetSocket() : KES_INVALID_SOCKET);
}

// Caller holds the endpoint lock (see KOSSProcessPacket).
bool CKesObjSockServer::IsFromEndedConnection(const CKesIOWorkPacket& packet)
{
    KES_CHECK(t_EndpointHold.server == this, "caller holds the endpoint lock");
    return m_Controller && m_Controller->KSEIsFromEndedConnection(packet);
}

// A confirmed connection's record: a keep-alive is dropped, any other goes
// to the host, which takes it over.
void CKesObjSockServer::Deliver(CKesSockEnd* client, CKesRecord* record)
{
    if (record->KRValueOf(CKesSockEnd::ms_KeepAliveField))
        delete record;
    else
        KesOnServerIO(client, record);
}

// Under the identify lock, so that a record processed while the client-id
// record (or the welcome after it) is being handled waits for it. Notes the
// packet's arrival for reaping. For an unconfirmed connection: takes the
// client-id record, leaving the host's welcome of the connection to the
// caller in *welcome (to finish before anything else of the connection), or
// holds an early record. *handled tells whether the record was consumed
// here; a confirmed connection's record is left to the caller.
int CKesObjSockServer::IdentifyOrHold(Connection& connection, CKesRecord* record, unsigned int length,
                                      bool* handled, Welcome* welcome)
{
    connection.lastPacketMs.store(NowMs(), std::memory_order_relaxed);
    // A confirmed connection whose early records are through: no lock. The
    // flag is set after draining, so one seen set shows draining as it is.
    *handled = false;
    if (connection.confirmed.load() && !connection.draining.load()) return 1;
    CKesSockEnd* client = connection.end;
    std::string report;
    int result = 1;
    ProofStep proof; // a step of the installation-key proof, finished outside the lock
    {
        std::unique_lock<CKesMutex> identify(m_IdentifyLock);
        m_Drained.wait(identify, [&connection] { return !connection.draining.load(); });
        *handled = !client->KSEIsConnectionConfirmed();
        if (!*handled) return 1;
        if (TakeProofRecord(client, &connection, record, &proof)) {
            record = nullptr;
        } else if (CKesAtom* id = record->KRValueOf(CKesSockEnd::ms_ClientIdField);
                   !id || id->KAType() != KES_DT_STRING || !id->KAString()) {
            result = HoldEarlyRecord(connection, record, length, &report);
        } else {
            result = TakeClientId(client, record, &connection, welcome);
        }
    }
    if (!report.empty()) KesReportLimited(KES_ERR_CONNECTION, kSource, __LINE__, report.c_str());
    FinishProofStep(client, proof);
    return result;
}

// Caller holds the identify lock. Names, files and confirms the connection;
// its welcome (the host's KOSSOnClientConnect and its early records) goes to
// *welcome, and its later records wait until that is finished.
int CKesObjSockServer::TakeClientId(CKesSockEnd* client, CKesRecord* record, Connection* connection,
                                    Welcome* welcome)
{
    KES_CHECK(m_IdentifyLock.IsHeldByMe(), "caller holds the identify lock");
    int result = 1;
    const char* id = record->KRValueOf(CKesSockEnd::ms_ClientIdField)->KAString();
    client->KSESetEndPointName(strdup(id));
    int filed = FileClient(client, &welcome->connect);
    if (filed != 1) {
        CKesError(filed, kSource, __LINE__, (std::string("client ") + id + " not filed").c_str());
        result = filed;
    }
    delete record;
    client->KSEConfirmConnection(TRUE);
    welcome->due = true;
    welcome->early = std::move(connection->early);
    connection->early.clear();
    connection->earlyBytes = 0;
    connection->draining = true;
    connection->confirmed = true; // after draining (see IdentifyOrHold)
    return result;
}

// Caller holds the identify lock. Keeps an early record with its connection,
// in arrival order. Each is charged its length and what it costs beside it in
// memory, so that many small records count honestly. A connection whose early
// records come to more than the receive backlog cap is shut down (the receive
// path then removes it) and reported; its records are dropped.
int CKesObjSockServer::HoldEarlyRecord(Connection& connection, CKesRecord* record, unsigned int length,
                                       std::string* report)
{
    KES_CHECK(m_IdentifyLock.IsHeldByMe(), "caller holds the identify lock");
    std::unique_ptr<CKesRecord> owned(record);
    if (connection.closing) return 1;
    const long long cap =
        m_Controller ? m_Controller->KSEGetReceiveBacklogCap() : CKesSockEngine::ms_DefaultReceiveBacklogCap;
    connection.earlyBytes +=
        length + ms_EarlyRecordOverhead + ms_EarlyValueOverhead * static_cast<long long>(record->KRCount());
    if (connection.earlyBytes > cap) {
        connection.closing = true;
        connection.early.clear();
        shutdown(static_cast<int>(connection.end->KSEGetEndPointSocket()), SHUT_RDWR);
        *report = "connection from " + connection.peer +
                  " sent more records before its client id than the receive backlog cap of " +
                  std::to_string(cap) + " bytes holds: closed";
        return 1;
    }
    if (KesTraceOn(1))
        KesTrace("CKesObjSockServer: Processed work packet early: adding it back to the IOPool until"
                 " connection is fully initialised\n");
    connection.early.push_back(std::move(owned));
    return 1;
}

// Outside the identify lock, so that a host's KOSSOnClientConnect that takes
// its time holds up no other connection: the callback, then the early
// records in arrival order. The connection's later records wait meanwhile
// (see IdentifyOrHold).
void CKesObjSockServer::FinishIdentification(CKesSockEnd* client, Welcome welcome)
{
    if (welcome.connect) KOSSOnClientConnect(client);
    for (auto& record : welcome.early) Deliver(client, record.release());
    CKesAutoMutex identify(m_IdentifyLock);
    auto found = m_Connections.find(client->KSEGetEndPointSocket());
    if (found != m_Connections.end() && found->second.end == client) found->second.draining = false;
    m_Drained.notify_all();
}

// ---- reaping ---------------------------------------------------------------------------------

// Accept thread, before the endpoint goes to the engine (so before any of its packets).
void CKesObjSockServer::TrackConnection(CKesSockEnd* client)
{
    char* address = client->KSEGetEndPtIpAddress();
    std::string peer =
        std::string(address ? address : "?") + ":" + std::to_string(client->KSEGetEndPtAddressPort());
    free(address);
    const unsigned int socket = client->KSEGetEndPointSocket();
    Connection* connection = nullptr;
    {
        CKesAutoMutex identify(m_IdentifyLock);
        // A handle's entry goes when its endpoint is released, before the
        // handle can be accepted again; one left over would be stale.
        m_Connections.erase(socket);
        connection = &m_Connections.try_emplace(socket).first->second;
        connection->end = client;
        connection->peer = std::move(peer);
        connection->acceptedMs = NowMs();
        connection->lastPacketMs = connection->acceptedMs;
        m_ConnectionIndex.Store(socket, connection);
    }
    // Nothing else touches the entry yet: no packet comes before the engine
    // has the endpoint, and the reaper runs on this thread.
    ChallengeClient(client, *connection);
}

// Accept thread, about once a second: shuts down each connection that sent
// no client id within the identify deadline, or, identified, nothing within
// the idle limit; the receive path then removes it as any closed one. Each is
// reported once. Under the identify lock a filed connection's socket is still
// its own (removal erases the entry before the endpoint closes it).
void CKesObjSockServer::ReapOverdue()
{
    const long long now = NowMs();
    if (now - m_LastReapMs < ms_ReapIntervalMs) return;
    m_LastReapMs = now;
    const long long identifyMs = ScaledMs(m_Controller ? m_Controller->KSEGetIdentifyDeadline()
                                                       : CKesSockEngine::ms_DefaultIdentifyDeadlineMs);
    const long long idleMs =
        ScaledMs(m_Controller ? m_Controller->KSEGetIdleLimit() : CKesSockEngine::ms_DefaultIdleLimitMs);
    std::vector<std::string> reports;
    {
        CKesAutoMutex identify(m_IdentifyLock);
        for (auto& [socket, connection] : m_Connections) {
            if (connection.closing) continue;
            const bool confirmed = connection.end->KSEIsConnectionConfirmed();
            if (confirmed ? now - connection.lastPacketMs <= idleMs
                          : now - connection.acceptedMs <= identifyMs)
                continue;
            connection.closing = true;
            connection.early.clear();
            shutdown(static_cast<int>(socket), SHUT_RDWR);
            const char* name = connection.end->KSEGetEndPointName();
            reports.push_back(
                confirmed ? std::string("client ") + (name ? name : "?") + " from " + connection.peer +
                                " sent nothing for " + std::to_string(idleMs) + " ms: closed"
                          : "connection from " + connection.peer +
                                (connection.proved ? " sent no client id within "
                                                   : " did not prove the installation key within ") +
                                std::to_string(identifyMs) + " ms: closed");
        }
    }
    for (const std::string& report : reports)
        KesReportLimited(KES_ERR_CONNECTION, kSource, __LINE__, report.c_str());
}

// ---- sending ---------------------------------------------------------------------------------

int CKesObjSockServer::KOSSSendToClient(char const* clientId, CKesRecord const* record)
{
    if (!record) return 1;
    CKesRecHdr::RecordFrame frame(*record);
    if (frame.Result() != 1) return 1; // nothing encoded, nothing sent
    int result = KOSSSendToClient(clientId, frame.Data(), frame.Length());
    if (result != 1) {
        const std::string text = std::string("Send to client ") + (clientId ? clientId : "(none)") +
                                 " of service " + (m_ServiceName ? m_ServiceName : "(unnamed)") +
                                 " not done: no such client, or its connection was cut";
        KesReportLimited(result, kSource, __LINE__, text.c_str());
    }
    return result;
}

int CKesObjSockServer::KOSSSendToClient(char const* clientId, unsigned char* data, unsigned int length)
{
    if (!clientId || !data || length == 0) return KES_ERR_SEND;
    SharedEndpointUse use(m_EndpointLock, this);
    CKesSockEnd* client = KOSSGetClientData(clientId);
    if (!client || client->KSEGetEndPointSocket() == KES_INVALID_SOCKET) return KES_ERR_SEND;
    return SendFrame(std::span(&client, 1), data, length, "KOSS::KOSSSendToClient sending packet ");
}

int CKesObjSockServer::KOSSBroadcastClients(CKesRecord* record)
{
    if (!record) return KES_ERR_ARGUMENT;
    CKesRecHdr frame;
    if (frame.KRHFrameRecord(*record) != 1) return KES_ERR_SEND;
    int result = KOSSBroadcastClients(frame.KRHGetData(), static_cast<unsigned int>(frame.KRHGetTotalLen()));
    if (result != 1) {
        const std::string text = std::string("Broadcast of service ") +
                                 (m_ServiceName ? m_ServiceName : "(unnamed)") +
                                 " did not reach every client: a connection was cut";
        KesReportLimited(result, kSource, __LINE__, text.c_str());
    }
    return result;
}

// Sends to every identified client; a client without a socket or a failed
// send makes the result KES_ERR_SEND, and the others are still sent to.
int CKesObjSockServer::KOSSBroadcastClients(unsigned char* data, unsigned int length)
{
    if (!data || length == 0) return KES_ERR_SEND;
    SharedEndpointUse use(m_EndpointLock, this);
    int result = 1;
    std::vector<CKesSockEnd*> clients;
    CKesDoubleList* items = m_ClientData->KTLIterator();
    for (CKesListable* item = items ? items->KDLHead() : nullptr; item; item = items->KDLGetNext(item)) {
        auto* client = static_cast<CKesSockEnd*>(static_cast<CKesPointer*>(item)->KPData());
        if (!client || client->KSEGetEndPointSocket() == KES_INVALID_SOCKET)
            result = KES_ERR_SEND;
        else
            clients.push_back(client);
    }
    if (!clients.empty() && SendFrame(clients, data, length, "KOSS::KOSSBroadcast sending packet ") != 1)
        result = KES_ERR_SEND;
    return result;
}

int CKesObjSockServer::KOSSSendRecordsToClient(char const* clientId, CKesRecord** records, unsigned int count)
{
    CKesRecHdr batch;
    unsigned int framed = 0;
    const int result = batch.KRHFrameRecords(records, count, &framed);
    if (framed == 0) return result;
    const int sent =
        KOSSSendToClient(clientId, batch.KRHGetData(), static_cast<unsigned int>(batch.KRHGetTotalLen()));
    if (sent != 1) {
        const std::string text = std::string("Batch of ") + std::to_string(framed) + " records to client " +
                                 (clientId ? clientId : "(none)") + " of service " +
                                 (m_ServiceName ? m_ServiceName : "(unnamed)") +
                                 " not sent: no such client, or its connection was cut";
        KesReportLimited(sent, kSource, __LINE__, text.c_str());
    }
    return sent != 1 ? sent : result;
}

int CKesObjSockServer::KOSSBroadcastRecords(CKesRecord** records, unsigned int count)
{
    CKesRecHdr batch;
    unsigned int framed = 0;
    const int result = batch.KRHFrameRecords(records, count, &framed);
    if (framed == 0) return result;
    const int sent =
        KOSSBroadcastClients(batch.KRHGetData(), static_cast<unsigned int>(batch.KRHGetTotalLen()));
    if (sent != 1) {
        const std::string text = std::string("Broadcast of a batch of service ") +
                                 (m_ServiceName ? m_ServiceName : "(unnamed)") +
                                 " did not reach every client: a connection was cut";
        KesReportLimited(sent, kSource, __LINE__, text.c_str());
    }
    return sent != 1 ? sent : result;
}

// Caller holds the endpoint lock, so the endpoint stays whole and its entry
// stays in the table.
CKesObjSockServer::ConnectionSend* CKesObjSockServer::SendStateOf(CKesSockEnd* client)
{
    Connection* connection = ConnectionOf(client->KSEGetEndPointSocket());
    if (connection && connection->end == client) return &connection->send;
    CKesAutoMutex guard(m_SendLock);
    std::unique_ptr<ConnectionSend>& state = m_OtherSends[client];
    if (!state) state = std::make_unique<ConnectionSend>();
    return state.get();
}

// Caller holds the connection's writer. Cuts the connection once: later sends
// fail at once, and the receive path sees the end of the stream and removes
// the connection as any other that closed (KOSSOnClientDisconnect).
void CKesObjSockServer::CutConnection(CKesSockEnd* client, std::atomic<bool>& closing, char const* reason)
{
    if (closing.exchange(true)) return;
    const unsigned int socket = client->KSEGetEndPointSocket();
    shutdown(static_cast<int>(socket), SHUT_RDWR);
    const char* name = client->KSEGetEndPointName();
    std::string text = "Send to client " + std::string(name ? name : "(unidentified)") + " on socket " +
                       std::to_string(socket) + " " + reason + ": connection closed";
    KesReportLimited(KES_ERR_SEND, kSource, __LINE__, text.c_str());
}

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// One frame to one connection within one SendFrame call: written once it
// holds the connection (see ConnectionSend), which it lets go once the frame
// is through or the connection has been cut.
struct Delivery {
    std::mutex* writing = nullptr;                 // the connection's writer
    std::atomic<int>* broadcastsWaiting = nullptr; // the connection's waiting broadcasts
    std::atomic<bool>* closing = nullptr;
    bool countedWaiting = false; // this send is among broadcastsWaiting
    int socket = -1;
    size_t written = 0;
    int error = 0;                      // errno of a failed write
    std::optional<SteadyTime> deadline; // from the first moment the socket had no room
    // kWriting, kFailed, kLate: the connection held (the last two to be cut).
    // kRefused: the connection had been cut already; nothing was written.
    enum Stage { kQueued, kWriting, kDone, kFailed, kLate, kCut, kRefused } stage = kQueued;
};

void LetGo(Delivery& delivery) { delivery.writing->unlock(); }

// A broadcast that waited for the connection no longer holds others off.
void StopWaiting(Delivery& delivery)
{
    if (!std::exchange(delivery.countedWaiting, false)) return;
    delivery.broadcastsWaiting->fetch_sub(1);
    delivery.broadcastsWaiting->notify_all();
}

// Writes to a delivery holding its connection what the socket takes without
// waiting; the connection is let go once the frame is through. A failure
// leaves the stage kFailed, the connection still held.
void WriteWhatFits(Delivery& delivery, unsigned char const* data, unsigned int length)
{
    while (delivery.written < length) {
        ssize_t sent = send(delivery.socket, data + delivery.written, length - delivery.written,
                            MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            delivery.written += static_cast<size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            delivery.stage = Delivery::kWriting;
            return;
        } else {
            delivery.error = sent < 0 ? errno : EPIPE;
            delivery.stage = Delivery::kFailed;
            return;
        }
    }
    delivery.stage = Delivery::kDone;
    LetGo(delivery);
}

// Takes the connection of a queued delivery: at once when it is free, or,
// with wait, once it is (blocking: the writer before is bounded by its own
// send deadline). A blocking sender first lets every waiting broadcast have
// the connection, so that senders keeping the connection busy cannot shut a
// broadcast out; a broadcast that finds the connection taken counts itself
// waiting. True when the delivery holds it.
bool TakeConnection(Delivery& delivery, bool wait)
{
    if (!wait) {
        if (delivery.writing->try_lock()) return true;
        if (!std::exchange(delivery.countedWaiting, true)) delivery.broadcastsWaiting->fetch_add(1);
        return false;
    }
    if (!delivery.countedWaiting)
        for (int waiting; (waiting = delivery.broadcastsWaiting->load()) != 0;)
            delivery.broadcastsWaiting->wait(waiting);
    delivery.writing->lock();
    return true;
}

// Starts writing a queued delivery once it holds its connection (see
// TakeConnection); a connection cut meanwhile fails at once.
void StartDelivery(Delivery& delivery, unsigned char const* data, unsigned int length, bool wait)
{
    if (delivery.stage != Delivery::kQueued) return;
    const bool cut = delivery.closing->load();
    if (!cut && !TakeConnection(delivery, wait)) return;
    StopWaiting(delivery);
    if (cut || delivery.closing->load()) {
        if (!cut) LetGo(delivery);
        delivery.stage = Delivery::kRefused;
        return;
    }
    WriteWhatFits(delivery, data, length);
}

// Goes on writing as room appears and starts each delivery whose connection
// comes free, until every one is through or cut (cut(delivery) cuts its
// connection and lets it go). A socket has deadlineMs from the first moment
// it has no room; a connection is waited for as long as it takes, so that one
// whose other senders keep it busy still gets the frame. Only a send with no
// other delivery under way blocks on its connection.
template <typename Cut>
void FinishDeliveries(std::span<Delivery> deliveries, unsigned char const* data, unsigned int length,
                      int deadlineMs, Cut cut)
{
    for (;;) {
        const SteadyTime now = std::chrono::steady_clock::now();
        std::optional<SteadyTime> soonest;
        std::vector<pollfd> room;
        std::vector<Delivery*> writing, queued;
        for (Delivery& delivery : deliveries) {
            if (delivery.stage == Delivery::kWriting) {
                if (!delivery.deadline) delivery.deadline = now + std::chrono::milliseconds(deadlineMs);
                if (now >= *delivery.deadline) delivery.stage = Delivery::kLate;
            }
            if (delivery.stage == Delivery::kFailed || delivery.stage == Delivery::kLate) cut(delivery);
            if (delivery.stage == Delivery::kWriting) {
                soonest = std::min(soonest.value_or(*delivery.deadline), *delivery.deadline);
                room.push_back({delivery.socket, POLLOUT, 0});
                writing.push_back(&delivery);
            } else if (delivery.stage == Delivery::kQueued) {
                queued.push_back(&delivery);
            }
        }
        if (writing.empty() && queued.empty()) return;
        if (writing.empty() && queued.size() == 1) {
            StartDelivery(*queued.front(), data, length, true);
            continue;
        }
        // Connections are tried again every millisecond. A failed poll is
        // taken as no room: the deadlines still end the writes.
        long long timeout =
            soonest ? std::chrono::ceil<std::chrono::milliseconds>(*soonest - now).count() : 1;
        if (!queued.empty()) timeout = std::min<long long>(timeout, 1);
        if (poll(room.data(), room.size(), static_cast<int>(timeout)) > 0)
            for (size_t i = 0; i < room.size(); ++i)
                if (room[i].revents) WriteWhatFits(*writing[i], data, length);
        for (Delivery* delivery : queued) StartDelivery(*delivery, data, length, false);
    }
}

} // namespace

// Caller holds the endpoint lock (shared or exclusive), so the endpoints stay
// whole. Sends one frame to each client, never interleaved with another
// sender's frame to the same connection and never waiting on one socket while
// another connection's senders wait for this one. One sender at a time
// writes to a connection (see ConnectionSend); first every connection that is
// free gets what its socket takes at once; then the rest is written as room
// appears and as connections come free. A connection whose socket has not
// taken the whole frame within the engine's send deadline, counted from the
// first moment it had no room, is cut (it would otherwise be left with half
// a frame), as is one whose send fails; every other gets the frame.
int CKesObjSockServer::SendFrame(std::span<CKesSockEnd* const> clients, unsigned char const* data,
                                 unsigned int length, char const* what)
{
    KES_CHECK(t_EndpointHold.server == this, "caller holds the endpoint lock");
    // A send to one client (an answer, the usual case) allocates nothing.
    Delivery one{};
    std::vector<Delivery> many(clients.size() > 1 ? clients.size() : 0);
    const std::span<Delivery> deliveries = many.empty() ? std::span(&one, clients.size()) : std::span(many);
    // Every state is looked up (which may wait for the identify lock) before
    // the first connection is taken: no lock is waited for while holding one.
    for (size_t i = 0; i < clients.size(); ++i) {
        ConnectionSend* state = SendStateOf(clients[i]);
        Delivery& delivery = deliveries[i];
        delivery.writing = &state->writing;
        delivery.broadcastsWaiting = &state->broadcastsWaiting;
        delivery.closing = &state->closing;
        delivery.socket = static_cast<int>(clients[i]->KSEGetEndPointSocket());
        if (KesTraceOn(4)) {
            std::string text(reinterpret_cast<const char*>(data),
                             strnlen(reinterpret_cast<const char*>(data), length));
            KesTrace("%s%s length %u socket %u at %lld\n", what, text.c_str(), length,
                     clients[i]->KSEGetEndPointSocket(), static_cast<long long>(time(nullptr)));
        }
    }
    // One connection is waited for; of several, each free one is written at once.
    for (Delivery& delivery : deliveries) StartDelivery(delivery, data, length, deliveries.size() == 1);
    // The usual case: every socket took the frame at once.
    const auto done = [](const Delivery& delivery) { return delivery.stage == Delivery::kDone; };
    if (!KesTraceOn(4) && std::all_of(deliveries.begin(), deliveries.end(), done)) return 1;
    const int deadlineMs =
        m_Controller ? m_Controller->KSEGetSendDeadline() : CKesSockEngine::ms_DefaultSendDeadlineMs;
    const auto cut = [&](Delivery& delivery) {
        const std::string reason = delivery.stage == Delivery::kFailed
                                       ? std::string("failed (") + strerror(delivery.error) + ")"
                                       : "did not complete within " + std::to_string(deadlineMs) + " ms";
        CutConnection(clients[static_cast<size_t>(&delivery - deliveries.data())], *delivery.closing,
                      reason.c_str());
        delivery.stage = Delivery::kCut;
        LetGo(delivery);
    };
    FinishDeliveries(deliveries, data, length, deadlineMs, cut);

    // A connection cut here or before fails.
    int result = 1;
    for (size_t i = 0; i < deliveries.size(); ++i) {
        if (deliveries[i].stage != Delivery::kDone)
            result = KES_ERR_SEND;
        else if (KesTraceOn(4))
            KesTrace("Server sent packet of len %u to clientId %s\n", length,
                     clients[i]->KSEGetEndPointName());
    }
    return result;
}
