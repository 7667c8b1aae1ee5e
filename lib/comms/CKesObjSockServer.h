// CKesObjSockServer: the TCP server of one named service in one domain: it
// binds (fixed entry of the service file, or a system-chosen port on the
// host's first address), publishes where it listens in the service file,
// accepts connections on its own thread and keeps its clients by client id.
//
// Created by the host (through a derived class that overrides the KesOn/On
// callbacks); once given to the engine (KSEAddServer) the engine owns it and
// destroys it through the virtual destructor.
//
// Threads: the host's thread (construction, setters, KOSSInitialise,
// destruction); the engine's threads (KOSSTerminate); the accept thread
// (KOSSStartAccepting, KOSSHandleNewSocket, the sweep of overdue
// connections); the engine's workers and, for a closed connection, the
// event-loop thread (KOSSProcessPacket,
// KOSSRemoveClient, KOSSProcessAddressRequest); any host thread (sends).
//
// Locks, outermost first: the server lock (state, start-up, termination;
// the packet path takes it alone to read the state), then the service file
// lock (across processes), then the parser's data lock. The endpoint lock
// (shared by packet processing and sends, exclusive while a connection is
// destroyed; the event-loop thread only tries it, see CKesEndpointLock) is
// taken before the identify lock and before a connection's
// writer: one sender at a time writes a frame to a connection (for at most
// the engine's send deadline once its socket is full), and no lock is waited
// for while a writer is held; the server's send lock,
// innermost, guards only the table of the send states of endpoints the host
// filed itself. The address-reply path takes the
// file lock and then the parser's lock. The library calls KesOnServerIO
// and KOSSOnClientConnect with the endpoint lock held shared (the latter
// after the identify lock), KOSSOnClientDisconnect with it held exclusively, and
// KOSSOnServerInit with none. Helpers that need a lock check it in debug
// and sanitizer builds.
//
// Sources: CKesObjSockServer.cpp (construction, binding, accepting,
// termination), CKesObjSockServerTraffic.cpp (client table, packets, sends,
// address requests), CKesObjSockServerFile.cpp (the service file, address
// replies).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "CKesEndpointLock.h"
#include "CKesFileLock.h"
#include "CKesMutex.h"
#include "CKesTreeList.h"
#include "EKesConnectState.h"
#include "KesErrorCodes.h"
#include "KesPort.h"
#include "TKesHandleSlots.h"

class CKesIOWorkPacket;
class CKesObjMulticast;
class CKesRecord;
class CKesServiceDataParser;
class CKesSockEnd;
class CKesSockEngine;

class CKesObjSockServer {
public:
    CKesObjSockServer();
    virtual ~CKesObjSockServer();

    // ---- host callbacks ---------------------------------------------------
    // One record from an identified client; the callee owns the record.
    virtual void KesOnServerIO(CKesSockEnd* client, CKesRecord* record);
    // A client has identified itself.
    virtual void KOSSOnClientConnect(CKesSockEnd* client);
    // A client's connection is going away (the endpoint is still whole).
    virtual void KOSSOnClientDisconnect(CKesSockEnd* client);
    // Once, on the accept thread, after entering KES_CONNECTED and before listening.
    virtual void KOSSOnServerInit();

    // ---- setters and getters ------------------------------------------------
    // Take the heap string over; null gives KES_ERR_ARGUMENT and changes nothing.
    int KOSSSetServiceName(char* name);
    int KOSSSetDomain(char* domain);
    int KOSSSetController(CKesSockEngine* controller);
    int KOSSSetMulticastPtr(CKesObjMulticast* multicast);

    char* KOSSGetServiceName();
    char* KOSSGetDomain();
    char* KOSSGetServerAddress();
    EKesConnectState KOSSGetConnectState();
    CKesSockEnd* KOSSGetServerData();
    CKesTreeList* KOSSGetClientData();
    CKesSockEngine* KOSSGetController();
    CKesObjMulticast* KOSSGetMulticastPtr();

    // ---- start-up and termination -------------------------------------------
    int KOSSInitialise();
    // The body of the accept thread (called by its entry, not by the host).
    void KOSSStartAccepting();
    int KOSSTerminate();
    // Withdraws this server's dynamic line from the service file.
    int KOSSRemoveServiceEntry();

    // ---- client table and traffic -------------------------------------------
    int KOSSAddToClientData(CKesSockEnd* client);
    CKesSockEnd* KOSSGetClient(char* clientId);
    CKesSockEnd* KOSSGetClientData(char const* clientId);
    int KOSSRemoveClient(CKesSockEnd* client);
    int KOSSSendToClient(char const* clientId, CKesRecord const* record);
    int KOSSSendToClient(char const* clientId, unsigned char* data, unsigned int length);
    int KOSSBroadcastClients(CKesRecord* record);
    int KOSSBroadcastClients(unsigned char* data, unsigned int length);
    // Batched sending (opt-in, for streams of many small records): count
    // records framed back to back in one buffer, in order, and written to the
    // client (or to every identified client) as one piece: as few writes as
    // its socket takes, no other sender's frame between them, within the send
    // deadline as a single frame. The caller keeps the records. A null record
    // or one that cannot be encoded is reported and left out, the others are
    // still sent, and the result is that failure's code; otherwise as the
    // one-record forms.
    int KOSSSendRecordsToClient(char const* clientId, CKesRecord** records, unsigned int count);
    int KOSSBroadcastRecords(CKesRecord** records, unsigned int count);
    __boolean KOSSIsPacketForServer(unsigned int socket);
    // The engine keeps ownership of the packet / request.
    int KOSSProcessPacket(CKesIOWorkPacket* packet);
    int KOSSProcessAddressRequest(CKesRecord* request);
    int KOSSProcessAddressReply(CKesRecord* reply);

    // How often (milliseconds) the accept thread looks for overdue connections.
    static constexpr long long ms_ReapIntervalMs = 1000;
    // What a record held with its connection until the client id comes costs
    // beside its encoded length, counted against the receive backlog cap: the
    // record itself (296 bytes with its room), the allocator's header and its
    // place in the connection's list; and each of its values (a heap block of
    // 104 bytes with its header, and a slot in the record's table).
    static constexpr long long ms_EarlyRecordOverhead = 328;
    static constexpr long long ms_EarlyValueOverhead = 128;

private:
    CKesObjSockServer(const CKesObjSockServer&);
    CKesObjSockServer& operator=(const CKesObjSockServer&) = delete;

    // ---- socket, bind and accept ----------------------------------------------
    int KOSSOpenSocket();
    char* KOSSGetHostAddr();
    int KOSSBindServerSocket();
    int KOSSStartAcceptThread();
    __boolean KOSSPreAccept();
    // The accept thread's loop and its steps (CKesObjSockServer.cpp).
    void AcceptLoop();
    void ReportAcceptFailure(int error);
    void TakeAccepted(unsigned int client, sockaddr* peer);
    int KOSSHandleNewSocket(unsigned int socket, sockaddr* peer);
    int KOSSSetServerAddress(unsigned int socket);

    // ---- service file (CKesObjSockServerFile.cpp) ------------------------------------
    int KOSSInitServerFile();
    KesFileHandle KOSSOpenServerFile(int mode);
    int KOSSGetFileLock(CKesFileLock& lock);
    // Start-up steps: the caller holds the server lock (checked in debug and
    // sanitizer builds).
    int KOSSParseServiceFile();
    int KOSSUpdateServerData();
    int KOSSUpdateServerFile(__boolean add);
    __boolean KOSSProcessServiceLine(char* line, char* out, __boolean add);
    int KOSSOverWriteServerFile(KesFileHandle handle, char const* text);
    // The same for text that may hold NUL bytes (kept after the file's text).
    int OverWrite(KesFileHandle handle, char const* text, size_t length);
    int KOSSCheckServerData();
    int KOSSAddRecordToServerDataFile(CKesRecord* reply, KesFileHandle handle);
    int KOSSAddLineToServiceFile(char* line, KesFileHandle handle);

    // ---- helpers of the packet path (CKesObjSockServerTraffic.cpp) ------------------
    // The lock rules noted are checked in debug and sanitizer builds.
    CKesSockEnd* FindNewSocket(unsigned int socket);
    struct Connection;
    // Caller holds the endpoint lock: the connection accepted on the socket,
    // or null. It stays filed while the lock is held.
    Connection* ConnectionOf(unsigned int socket);
    // Caller holds the endpoint lock: a packet read from a connection that
    // has ended, whose handle may be a new connection's now.
    bool IsFromEndedConnection(const CKesIOWorkPacket& packet);
    // The end of a connection's stream: removes the connection (takes the
    // endpoint lock itself; on the event-loop thread only if it is free).
    void RemoveClosedConnection(const CKesIOWorkPacket& packet);
    // Removes the connection find() names (see the definition).
    template <typename Find>
    void RemoveConnection(Find find, unsigned int endOnLoop = KES_INVALID_SOCKET);
    using EarlyRecords = std::vector<std::unique_ptr<CKesRecord>>; // empty: no allocation
    // What the worker that took a client id finishes outside the identify
    // lock: the host's KOSSOnClientConnect, then the records held before the id.
    struct Welcome {
        bool due = false;     // an id was taken: later records wait until it is finished
        bool connect = false; // the id was filed: KOSSOnClientConnect
        EarlyRecords early;
    };
    int IdentifyOrHold(Connection& connection, CKesRecord* record, unsigned int length, bool* handled,
                       Welcome* welcome);
    // Caller holds the identify lock.
    int TakeClientId(CKesSockEnd* client, CKesRecord* record, Connection* connection, Welcome* welcome);
    int FileClient(CKesSockEnd* client, bool* connect);
    int HoldEarlyRecord(Connection& connection, CKesRecord* record, unsigned int length, std::string* report);
    void FinishIdentification(CKesSockEnd* client, Welcome welcome);
    void Deliver(CKesSockEnd* client, CKesRecord* record);
    // ---- installation key (CKesObjSockServerAuth.cpp) ---------------------------------
    // What a step of the connection proof leaves to do once the identify lock
    // is released: a record to send, a report, and whether to close.
    struct ProofStep {
        std::unique_ptr<CKesRecord> answer;
        std::string report;
        bool close = false;
    };
    // Accept thread: sends a member's challenge on a new connection.
    void ChallengeClient(CKesSockEnd* client, Connection& connection);
    // Caller holds the identify lock; the connection is unconfirmed. True
    // when the record was part of the proof (consumed, whatever came of it).
    bool TakeProofRecord(CKesSockEnd* client, Connection* connection, CKesRecord* record, ProofStep* step);
    // Caller holds the endpoint lock, not the identify lock.
    void FinishProofStep(CKesSockEnd* client, ProofStep& step);
    int SignReply(CKesRecord& reply, const CKesRecord& request);
    // Accept thread: files an accepted connection for reaping, and shuts
    // down those that stayed unidentified or silent for too long.
    void TrackConnection(CKesSockEnd* client);
    void ReapOverdue();
    // ---- sending (CKesObjSockServerTraffic.cpp) ---------------------------------------
    // The senders of one connection. One at a time holds writing, so the
    // frames of two senders never interleave; it is let go once the frame is
    // through or the connection cut. A sender that waits for this connection
    // alone blocks on it. A broadcast waits for several at once and cannot
    // block on one: it tries again every millisecond and meanwhile counts
    // itself in broadcastsWaiting, which holds blocking senders off until it
    // has had the connection. closing is set once the connection has been cut (a
    // send that failed or missed the deadline), and later sends fail at once.
    struct ConnectionSend {
        std::mutex writing;
        std::atomic<int> broadcastsWaiting{0};
        std::atomic<bool> closing{false};
    };
    // Caller holds the endpoint lock, shared or exclusively.
    ConnectionSend* SendStateOf(CKesSockEnd* client);
    int SendFrame(std::span<CKesSockEnd* const> clients, unsigned char const* data, unsigned int length,
                  char const* what);
    // closing: the connection's ConnectionSend::closing.
    void CutConnection(CKesSockEnd* client, std::atomic<bool>& closing, char const* reason);
    // Caller holds the endpoint lock exclusively. The endpoint taken out of
    // the engine and both tables, for the caller to destroy; null when the
    // new-socket table refused to let it go (reported).
    std::unique_ptr<CKesSockEnd> ReleaseEndpoint(CKesSockEnd* client);

    CKesMutex m_SendLock; // innermost; guards m_OtherSends only
    // The send states of endpoints filed by the host itself rather than
    // accepted here (an accepted one keeps its state in its Connection):
    // made by the first send, dropped when the endpoint is released.
    std::map<const CKesSockEnd*, std::unique_ptr<ConnectionSend>> m_OtherSends;

    CKesMutex m_ServerLock;                           // connect state, start-up, termination
    char* m_ServiceName = nullptr;                    // owned heap text
    char* m_Domain = nullptr;                         // owned heap text
    unsigned int m_ListenSocket = KES_INVALID_SOCKET; // bound and listened on
    std::atomic<char*> m_ServerAddress{nullptr};      // owned; local address of the first accepted connection
    std::atomic<EKesConnectState> m_ConnectState{KES_UNCONNECTED}; // written under m_ServerLock
    CKesSockEnd* m_ServerData = nullptr;                           // owned; fixed entry or published endpoint
    CKesTreeList* m_ClientData = nullptr;                          // owned; client id -> endpoint (not owned)
    CKesTreeList* m_NewSockets = nullptr;                          // owned; socket -> endpoint (owned)
    TKesPThread m_AcceptThread{};                                  // the accept thread
    bool m_AcceptThreadStarted = false;                            // created and not yet joined
    // Owned eventfd: made by the first KOSSStartAcceptThread, closed by the
    // destructor. KOSSTerminate writes it to end the accept thread's wait at
    // once; it is read back only when an accept thread is started again.
    int m_AcceptWake = -1;
    char* m_ServiceFilePath = nullptr;                    // owned; path of the service file
    CKesServiceDataParser* m_ServiceDataParser = nullptr; // owned; created by the first KOSSInitialise
    CKesObjMulticast* m_Multicast = nullptr;              // the engine's channel, not owned
    CKesSockEngine* m_Controller = nullptr;               // the owning engine, not owned

    // Shared while a packet or a send uses an endpoint, exclusive while a
    // connection is taken out of the tables and destroyed; the event-loop
    // thread never waits for it.
    CKesEndpointLock m_EndpointLock;
    // Orders the confirmation of a connection against its other packets, and
    // guards m_Connections.
    CKesMutex m_IdentifyLock;
    // Each accepted connection, from acceptance until removal (times on the
    // steady clock, milliseconds). Filed under the identify lock and removed
    // under the endpoint lock held exclusively too, so a holder of the
    // endpoint lock may keep a pointer to one. The atomic fields are read by
    // a confirmed connection's packets without the identify lock.
    struct Connection {
        CKesSockEnd* end = nullptr; // the new-socket table's endpoint
        std::string peer;           // "address:port" of the peer
        long long acceptedMs = 0;
        std::atomic<long long> lastPacketMs{0}; // the last packet processed (keep-alives too)
        EarlyRecords early;                     // records before the client id, in arrival order
        long long earlyBytes = 0;
        // Set before confirmed, cleared once the early records are through:
        // while it is set, later records wait.
        std::atomic<bool> draining{false};
        std::atomic<bool> confirmed{false}; // the client id was taken
        bool closing = false;               // shut down and reported; its records are dropped
        ConnectionSend send;
        // Installation key: this server's nonce for the connection, and
        // whether the client has proved the key (from the start for a
        // server that is no member).
        unsigned char nonce[16] = {};
        bool proved = true;
    };
    std::map<unsigned int, Connection> m_Connections; // by socket
    // m_Connections by socket for the handles it covers, for the packet and
    // send paths: written under the identify lock.
    TKesHandleSlots<Connection*> m_ConnectionIndex;
    std::condition_variable_any m_Drained; // a connection's early records were delivered
    long long m_LastReapMs = 0;            // accept thread only
};
