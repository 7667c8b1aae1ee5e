// CKesSockEngine: the one object per process that owns all socket traffic of
// the library: its event loop, its worker pool, its multicast channel and the
// registries of servers, clients and their sockets.
//
// Created and destroyed by the host's own thread (one per process). The
// constructor opens the multicast channel and, when that stays impossible for
// twelve attempts, ends the process with exit status
// ms_MulticastUnavailableExit. Destruction closes the pool first (every
// queued packet is still processed), then the accepted sockets, the servers,
// the client sockets, the clients, the pending fragments and the channel.
//
// Threads:
//  - host thread: constructors, KSEAddServer, KSEAddClient, KSERemoveServer,
//    KSERemoveClient, KNSafeExit, the destructor;
//  - a server's accept thread: KSEAddNewServerSocket;
//  - a client's connect thread: KSEAddClientIO, KSECloseClientIO;
//  - the event-loop thread: OnIO, KSECheckSockPacket and the processing of
//    closed connections (KSEProcessIO on the loop thread); while no loop
//    runs, any one thread may hand reads to KSECheckSockPacket in its place
//    (tests, benchmarks). Debug and sanitizer builds check this rule
//    (KES_CHECK) and abort when another thread runs the receive path while
//    a loop runs;
//  - worker threads of the IO pool: KSEProcessIO and everything it calls
//    (KSEProcessMulticast and its handlers, KesOnRvIO, the owners' packet
//    processing, which may call KSERemoveServerClientSocket,
//    KSECloseClientIO and KSEAddWorkToIOPool).
//
// Locks: the engine lock (m_EngineLock) is innermost but for the tables' own
// locks, which nest inside it; it is released before the event loop, the
// pool, a server or a client is called. It makes steps of two table
// operations atomic (see m_EngineLock below) and guards the count of threads
// inside each server and client with its condition, on which
// KSERemoveServer and KSERemoveClient wait.
// Each table (CKesTreeList) is atomic per operation under its own lock.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CKesEngine.h"
#include "CKesMutex.h"
#include "CMOMRvIO.h"
#include "CMOMRvIOCallback.h"
#include "KesPort.h"
#include "KesServTypes.h"
#include "TKesHandleTable.h"

class CKesAtom;
class CKesInstallationKey;
class CKesIOWorkPacket;
class CKesObjMulticast;
class CKesObjSockClient;
class CKesObjSockServer;
class CKesPageFiller;
class CKesReceiveBacklog;
class CKesRecord;
class CKesServPool;
class CKesSockEnd;
class CKesTreeList;
class CKesVarBind;

// The receive path's owned heap blocks (used by CKesSockEngine's private
// steps): malloc'd buffers and addresses, freed with free, and work packets.
// A step that takes one by value takes it over; a plain pointer is only read
// or written. Raw owning pointers remain only where the receive path meets
// KSECheckSockPacket and the work packet's constructors and setters.
namespace kesengine {
struct FreeBlock {
    void operator()(void* block) const noexcept { std::free(block); }
};
using OwnedBytes = std::unique_ptr<unsigned char[], FreeBlock>;
struct OwnedSource { // the sender's address of one read and its size
    std::unique_ptr<sockaddr, FreeBlock> address;
    unsigned int length = 0;
};
struct DeletePacket { // CKesIOWorkPacket::KIWPDelete
    void operator()(CKesIOWorkPacket* packet) const noexcept;
};
using OwnedPacket = std::unique_ptr<CKesIOWorkPacket, DeletePacket>;
} // namespace kesengine

class CKesSockEngine : public CKesEngine, public CMOMRvIOCallback {
public:
    // Exit status of a process whose engine could not reach the multicast
    // service (the sysexits "service unavailable" value).
    static constexpr int ms_MulticastUnavailableExit = 69;
    // Attempts and the pause between them when opening the multicast channel.
    static constexpr int ms_MulticastAttempts = 12;
    static constexpr unsigned int ms_MulticastRetryMs = 5000;

    CKesSockEngine(const char* name, __serv_types type, int poolSize);
    CKesSockEngine(char* name, __serv_types type, int poolSize);
    ~CKesSockEngine() override;

    // ---- virtual operations, in slot order --------------------------------
    // Terminates every registered server, in table order.
    void KNSafeExit() override;
    // KRNStartNet is inherited unchanged: it runs the event loop.
    int KRNPostInitFns() override;
    // Work packets for sockets that belong to no server, client or the
    // multicast channel; the packet stays the caller's. Only traces here.
    virtual void KesOnRvIO(CKesIOWorkPacket* packet);
    // One datagram from the multicast receive socket, on a worker thread.
    virtual int KSEProcessMulticast(CKesIOWorkPacket* packet);
    // Runs what the workers still have queued, then stops them and the
    // loop's readers (after the packets they process); packets
    // queued later are dropped and reported. An engine derived from this one
    // that overrides what the workers call (KesOnRvIO, KSEProcessMulticast)
    // calls it first in its destructor, once the event loop has stopped: by
    // the time this class's destructor stops the workers, the derived part
    // is gone. Calling it again does nothing.
    void KSEStopWorkers();
    // The event loop's readable-socket callback (event-loop thread).
    void OnIO(CMOMRvIO* io) override;

    // ---- registries -------------------------------------------------------
    int KSEAddServer(CKesObjSockServer* server);
    int KSEAddNewServerSocket(char* serviceName, CKesSockEnd* end);
    // Returns once no thread is inside the server any more, then terminates
    // and destroys it; refused from inside the server's own callbacks.
    int KSERemoveServer(char* serviceName);
    int KSERemoveServerClientSocket(CKesSockEnd* end);
    int KSEAddClient(CKesObjSockClient* client);
    int KSEAddClientIO(CKesObjSockClient* client);
    int KSECloseClientIO(CKesObjSockClient* client);
    // Returns once no call of the engine is inside the client any more (from
    // inside its own callbacks, at once); the client goes back to the caller.
    int KSERemoveClient(CKesObjSockClient* client);
    CKesObjSockServer* KSEGetServer(const char* serviceName);
    CKesObjSockClient* KSEGetClient(const char* serviceName);
    CKesObjMulticast* KSEGetMulticast();
    int KSESendToAll(CKesRecord* record);

    // ---- bounds on peers --------------------------------------------------
    // Limits that keep a peer that stops reading, floods, stalls or vanishes
    // from stalling, flooding or exhausting the process. Peers that behave
    // never meet them. Built-in defaults; a host that needs another value
    // sets it before it adds servers and clients. Any thread; a value set
    // later applies to the next send, read or check.
    static constexpr int ms_DefaultSendDeadlineMs = 10000; // one frame to one socket
    static constexpr long long ms_DefaultReceiveBacklogCap =
        4 << 20; // bytes read, not yet processed, per connection
    static constexpr long long ms_DefaultReassemblyLimit = 256LL << 20; // incomplete packets, whole process
    static constexpr int ms_DefaultIdentifyDeadlineMs = 30000; // accept to client id (follows the time scale)
    static constexpr int ms_DefaultIdleLimitMs = 35000;        // silence of an identified client (time scale)
    static constexpr int ms_DefaultUnackedLimitMs = 30000;     // unacknowledged data of a client (time scale)
    // Each setter refuses a value below 1 with KES_ERR_ARGUMENT and keeps the old one.
    int KSESetSendDeadline(int milliseconds);
    int KSEGetSendDeadline() const { return m_SendDeadlineMs.load(std::memory_order_relaxed); }
    int KSESetReceiveBacklogCap(long long bytes);
    long long KSEGetReceiveBacklogCap() const { return m_ReceiveBacklogCap.load(std::memory_order_relaxed); }
    int KSESetReassemblyLimit(long long bytes);
    long long KSEGetReassemblyLimit() const { return m_ReassemblyLimit.load(std::memory_order_relaxed); }
    // Bytes of the last large packet's buffer, kept about a second for the
    // next large packet to read into; 0 when none is kept.
    size_t KSEKeptBufferBytes() const;
    // How long that buffer waits for the next large packet, in milliseconds
    // (default 1000; 0 frees it at once): longer keeps the memory for a
    // peer that sends large packets seldom. 1, or KES_ERR_ARGUMENT for a
    // negative time or an engine not created.
    int KSESetKeptBufferMs(int milliseconds);
    int KSESetIdentifyDeadline(int milliseconds);
    int KSEGetIdentifyDeadline() const { return m_IdentifyDeadlineMs.load(std::memory_order_relaxed); }
    int KSESetIdleLimit(int milliseconds);
    int KSEGetIdleLimit() const { return m_IdleLimitMs.load(std::memory_order_relaxed); }
    int KSESetUnackedLimit(int milliseconds);
    int KSEGetUnackedLimit() const { return m_UnackedLimitMs.load(std::memory_order_relaxed); }

    // ---- installation key (opt-in authentication) -------------------------
    // Read from the installation's key file at construction; never null. With
    // a key the process is a member: its discovery datagrams and connections
    // prove the key and it takes part only with members (docs/protocol.md).
    CKesInstallationKey* KSEGetInstallationKey() const { return m_InstallationKey.get(); }
    // 32 bytes make the process a member with that key, null and 0 a
    // non-member (KES_ERR_ARGUMENT otherwise). Before servers and clients are added.
    int KSESetInstallationKey(const unsigned char* key, unsigned int length);

    // ---- receive path -----------------------------------------------------
    // Splits TCP data read from a server's or client's socket into packets
    // and queues them; takes over data and source. Runs on the event-loop
    // thread, or on any one thread while no loop runs.
    int KSECheckSockPacket(unsigned int socket, unsigned char* data, int length, sockaddr* source,
                           int sourceLength);
    // Reads a server's or client's stream socket once, as the event loop
    // does when it is readable (for a host or benchmark that waits for the
    // socket itself); the same thread rule as KSECheckSockPacket. Returns 1.
    int KSEReadStream(unsigned int socket);
    // Queues a packet for the workers, which then own it; null is refused.
    void KSEAddWorkToIOPool(CKesIOWorkPacket* packet);
    // Routes one packet to its owner by its socket; never destroys it.
    void KSEProcessIO(CKesIOWorkPacket* packet);
    // True for a stream packet read under an earlier registration of its
    // socket: its connection has ended, and the handle may be another's now.
    // The answer holds only while the handle cannot change hands, so an owner
    // asks it under the lock that keeps its connections from being closed.
    bool KSEIsFromEndedConnection(const CKesIOWorkPacket& packet);
    // The pool's worker procedure: KSEProcessIO, then destroys the packet.
    static void KSEWorkerProc(void* work, void* unused);

    // ---- multicast discovery ----------------------------------------------
    int KSEStartMulticast();
    int KSEStartMulticastServer(CKesSockEnd* end);
    int KSEAddMulticastIO();
    int KSEProcessAddressRequest(CKesRecord* record);
    int KSEProcessAddressReply(CKesRecord* record);
    int KSEProcessMulticastTraffic(CKesRecord* record);
    // Chooses the interface the multicast channel sends by and joins the
    // group on: an interface name or one of the host's IPv4 addresses; null
    // or "" is the default (the route for 224.0.0.0/4). The constructor
    // starts with KSX_MULTICAST_IF; this setter changes the open channel at
    // once (the new membership is joined before the old one is dropped:
    // nothing is missed, nothing reopened) and every channel opened later.
    // Host thread, not concurrently with itself. 1; KES_ERR_MULTICAST_INTERFACE
    // (reported) for a name or address that is not this host's, or the
    // channel's KES_ERR_SOCKET_OPTION; on failure the interface stays.
    int KSESetMulticastInterface(const char* nameOrAddress);

private:
    CKesSockEngine(const CKesSockEngine&) = delete;
    CKesSockEngine& operator=(const CKesSockEngine&) = delete;

    // ---- construction, destruction, registries (CKesSockEngine.cpp) ------
    int KSECreate(int poolSize);
    // Destruction steps, in the order they run.
    void ReleaseAll();
    void DestroyServerSockets();
    void DestroyServers();
    void DestroyClientSockets();
    void DestroyClients();
    void DestroyFragments();
    void DestroyMulticast();
    // Event-loop calls whose failure is reported at the caller's line.
    int RemoveIO(unsigned int socket, int line);
    int RegisterIO(unsigned int socket, int line);
    CKesVarBind* TakeBinding(unsigned int socket, const char* serviceName);
    // Takes every accepted socket bound to the service off the loop and out
    // of the table, once no read of them is in progress.
    int UnfileServerSockets(const char* serviceName);
    CKesObjSockServer* FindServer(const char* serviceName);
    CKesObjSockClient* FindClient(const char* serviceName);

    // ---- servers and clients in use (CKesSockEngine.cpp) -------------------
    // Every call the engine makes into a server or a client it found in its
    // tables (a packet, an address request or reply, a broadcast, a
    // termination) counts the object in under the engine lock, in the same
    // step as the lookup, and out when the call returns (InUse). Removal
    // unfiles the object under the lock and then waits until no count is
    // left, so it is never destroyed while a thread is inside it.
    class InUse;
    using UseCount = std::atomic<int>;
    // Caller holds m_EngineLock. Counts the object in and returns its count
    // for the InUse that counts it out; null for null.
    UseCount* CountIn(const void* object);
    // Without the lock: every packet ends here.
    void CountOut(UseCount* count);
    // Caller holds m_EngineLock: every object of the table, counted in.
    struct Counted {
        void* object;
        UseCount* count;
    };
    std::vector<Counted> CountInAll(CKesTreeList* table);
    // Caller holds m_EngineLock; released while waiting.
    void WaitUntilUnused(const void* object);

    // ---- multicast discovery (CKesSockEngineDiscovery.cpp) ----------------
    // True for a packet read from the multicast channel's receive socket.
    bool IsMulticastPacket(const CKesIOWorkPacket& packet);
    // Reports what a datagram on the multicast channel caused. Any host on
    // the link can send any number of them, so the report is rate-limited
    // per source line (KesReportLimited) and names the datagram's sender. A
    // decode refusal (KES_ERR_DECODE) says the decoder's reason (call it on
    // the thread that decoded); any other code says `what`.
    static void ReportDatagram(int code, int line, const CKesIOWorkPacket& packet, const char* what);
    // KSX_MULTICAST_IF when it names an interface or address of this host;
    // otherwise "" (the default), a bad value reported once here.
    static std::string MulticastInterfaceFromEnvironment();

    // ---- receive path (CKesSockEngineReceive.cpp) --------------------------
    // The most one OnIO reads from a stream: a flooding connection's read, split into
    // packets, is what a bystander may have to wait behind beyond the
    // backlog's packet cap.
    static constexpr int ms_ReadChunk = 16 << 10;
    // The largest datagram there is (UDP's length field): a datagram is read
    // whole into a buffer of its size, never cut.
    static constexpr int ms_LargestDatagram = 64 << 10;
    // A fragment buffer starts at this size (or the bytes at hand) and then
    // doubles as its packet's bytes arrive, up to the declared length.
    static constexpr unsigned int ms_FirstFragmentCapacity = 4096;
    // Hands a packet to the pool; a refused packet is reported and destroyed.
    int Queue(kesengine::OwnedPacket packet, int line);
    // Charges the packet to its socket's backlog and queues it.
    int QueueCharged(kesengine::OwnedPacket packet, int line);
    // Queues a fragment that holds its whole payload now, as a packet.
    int QueueCompleted(kesengine::OwnedPacket fragment, int line);
    // Queues a copy of a read's `count` whole packets (headers included) as
    // charged work items, one per ms_PacketsWorthAWorker packets and at most
    // one per worker.
    int QueueWholePackets(unsigned int socket, const unsigned char* run, unsigned int length,
                          unsigned int count, const kesengine::OwnedSource& source);
    struct ReadState;
    // A charged work item holding a copy of `length` bytes: `count` whole
    // packets with their headers, or with count 0 one packet's payload alone.
    // Null (reported) when it cannot be allocated.
    CKesIOWorkPacket* WholePacketsItem(unsigned int socket, ReadState& state, const unsigned char* run,
                                       unsigned int length, unsigned int count,
                                       const kesengine::OwnedSource& source);
    static constexpr unsigned int ms_PacketsWorthAWorker = 32;
    // A read of exactly one whole packet on a socket with no incomplete
    // packet kept (a request or an answer, the usual read): one charged
    // item, without the walk over a run, processed by the reading thread
    // once the loop has passed the reading on (else queued), and back
    // pressure applied. False, with nothing done, for any other read.
    bool QueueOnePacket(unsigned int socket, ReadState& state, const unsigned char* data, unsigned int length,
                        const kesengine::OwnedSource& source);
    // Hands the packet to the loop, to be processed by this thread after
    // the read in an idle worker's turn; false (the caller keeps it) when no
    // worker is idle or the loop has no other reader free.
    bool ProcessAfterRead(CKesIOWorkPacket* packet);
    // The work the loop runs for it: the worker's procedure, then the end
    // of the turn.
    static void RunAfterRead(void* work);
    // The socket's backlog, renewed for its current registration (loop thread).
    CKesReceiveBacklog* BacklogOf(unsigned int socket);
    CKesReceiveBacklog* BacklogOf(unsigned int socket, ReadState& state);
    // Stops reading a stream socket whose backlog is over its cap.
    void ApplyBackPressure(unsigned int socket);
    void ApplyBackPressure(unsigned int socket, const ReadState& state);
    // Who a packet's socket belongs to (a worker looks it up once per item):
    // an accepted socket is server side even while no server of its service
    // is filed (server null); a connected one names its client.
    struct Owner {
        bool serverSide = false;
        CKesObjSockServer* server = nullptr;
        CKesObjSockClient* client = nullptr;
        // A server's or a client's socket, read as a stream.
        bool Owned() const { return serverSide || client != nullptr; }
        // The object a packet is counted in on (never both): null for none.
        const void* Object() const { return server != nullptr ? static_cast<const void*>(server) : client; }
    };
    // The owner index (caller holds m_EngineLock): kept in step with the
    // socket tables and the server table, by socket handle.
    Owner OwnerOf(unsigned int socket) const;
    void FileOwner(unsigned int socket, const Owner& owner);
    void UnfileOwner(unsigned int socket, bool serverSide);
    // Applies forget to every entry of the owner index (destruction).
    void ForgetOwners(void (*forget)(Owner&));
    // Points the accepted sockets of a service at its server (null: none).
    void PointSocketsAt(const char* serviceName, CKesObjSockServer* server);
    // Hands one packet to its owner and reports what went wrong.
    void Dispatch(const Owner& owner, CKesIOWorkPacket* packet);
    // Grows a fragment buffer to hold `needed` bytes (at most `total`),
    // within the reassembly limit; false (reported, nothing changed) when it
    // cannot.
    bool GrowFragment(unsigned int socket, CKesIOWorkPacket& fragment, unsigned long long needed,
                      unsigned long long total);
    // Gives a growing fragment the page filler's kept block instead of one of
    // `size` bytes; false when there is none that large or it would pass the
    // reassembly limit.
    bool TakeKeptBlock(CKesIOWorkPacket& fragment, size_t size, unsigned long long total);
    // Reports what a peer did to the connection, rate-limited, with the
    // socket and the peer's address.
    void ReportPeer(int code, int line, unsigned int socket, const sockaddr* source,
                    unsigned int sourceLength, const char* what);
    // The fragment table. Take and keep are each atomic under the engine
    // lock; DetachFragment is for a caller that holds it already.
    kesengine::OwnedPacket TakeFragment(unsigned int socket);
    kesengine::OwnedPacket DetachFragment(const CKesAtom& key);
    int KeepFragment(unsigned int socket, kesengine::OwnedPacket fragment);
    void DropFragment(unsigned int socket);
    // True when a server or a client owns the socket (read as a stream);
    // otherwise its reads are datagrams. Loop thread.
    bool IsOwnedStream(unsigned int socket);
    // Steps of the event-loop thread.
    void ReadStream(unsigned int socket);
    // A read straight into the socket's fragment when a large packet is
    // under way; false when there is none (the caller reads as usual).
    bool ReadIntoFragment(unsigned int socket);
    // The most one read puts into a large packet's buffer.
    static constexpr unsigned int ms_FragmentReadChunk = 1u << 20;
    void ReadDatagram(unsigned int socket);
    kesengine::OwnedSource NewSource(unsigned int socket);
    // The loop thread's source block for stream reads, cleared (m_StreamSource).
    const kesengine::OwnedSource& StreamSource(unsigned int socket);
    unsigned int SourceLengthOf(unsigned int socket);
    int ReadSocket(unsigned int socket, unsigned char* buffer, int available, sockaddr* address,
                   unsigned int addressLength);
    // True when the end of the stream must wait for packets still pending.
    bool EndWaits(unsigned int socket);
    void DeliverClosed(unsigned int socket, kesengine::OwnedSource source);
    // Takes a read and its source (neither owned) on: completes or joins the
    // socket's fragment, queues the whole packets, keeps the new tail,
    // applies back-pressure.
    int ReceiveRun(unsigned int socket, const unsigned char* data, unsigned int length,
                   const kesengine::OwnedSource& source);
    void TraceJoin(const CKesIOWorkPacket& fragment, const unsigned char* data, unsigned int length);
    unsigned int FillFragment(unsigned int socket, kesengine::OwnedPacket fragment, const unsigned char* data,
                              unsigned int length, int* result);
    kesengine::OwnedBytes Join(const CKesIOWorkPacket& fragment, const unsigned char* data,
                               unsigned int length, unsigned int* joinedLength);
    int SplitRun(unsigned int socket, const unsigned char* run, unsigned int length,
                 const kesengine::OwnedSource& source);
    int KeepTail(unsigned int socket, kesengine::OwnedBytes tail, unsigned int tailLength,
                 kesengine::OwnedSource source);
    void BreakConnection(unsigned int socket, kesengine::OwnedSource source);
    // True when the break must wait for packets still pending: the socket
    // is paused until they are finished, and its next read breaks it.
    bool BreakWaits(unsigned int socket);
    // That read: breaks the connection without reading; false, with nothing
    // done, when the mark is an earlier registration's.
    bool BreakNoted(unsigned int socket);
    // Marks the socket's next read of registration `generation` as a break.
    void NoteBreak(unsigned int socket, uint32_t generation);

    // What the loop thread keeps per socket (the loop thread alone):
    // - its backlog (CKesReceiveBacklog: packets read and queued, not yet
    //   finished), kept for the engine's life, so that the packets that
    //   point at it are all gone first (the workers stop before);
    // - whether it has kept a fragment for the socket and not taken it back
    //   since (other threads only drop fragments, so a socket without the
    //   mark has none);
    // - what its next read does first (one test on the usual read): read
    //   straight into a large packet under way (a hint), or break the
    //   connection of registration breakGeneration, whose break waited for
    //   its packets (BreakWaits);
    // - the length of its source addresses, asked once per registration;
    // - whether it is a server's or a client's stream, as the owner index
    //   said when m_OwnerChanges was ownedAt - 1.
    enum class NextRead : uint8_t { Usual, IntoFragment, Break };
    struct ReadState {
        std::shared_ptr<CKesReceiveBacklog> backlog;
        bool fragmented = false;
        NextRead next = NextRead::Usual;
        bool owned = false;
        uint32_t breakGeneration = 0;
        uint32_t sourceGeneration = 0;
        unsigned int sourceLength = 0; // 0: not asked yet
        uint64_t ownedAt = 0;          // 0: not asked yet
    };
    TKesHandleTable<ReadState> m_ReadStates;
    // The buffer every stream read goes into, its source block, and the work items made of
    // one read (loop thread alone; kept to reuse their memory).
    std::vector<unsigned char> m_ReadBuffer;
    kesengine::OwnedSource m_StreamSource;
    // The registration whose OnIO runs now (loop thread; 0 between
    // dispatches and for a read handed over directly): what it reads is
    // that registration's, even if another thread ends it meanwhile.
    uint32_t m_ReadGeneration = 0;
    std::vector<void*> m_QueuedItems;

    CKesServPool* m_IOPool; // worker pool that processes received packets
    // The engine lock. It makes these steps atomic: the check-and-insert of
    // a server (KSEAddServer) and of an accepted or connected socket
    // (KSEAddNewServerSocket, KSEAddClientIO); reading a socket's owner
    // (KSEProcessIO, with counting it in) and accepted sockets' bindings
    // (KSERemoveServer) and removing them (KSERemoveServer,
    // KSERemoveServerClientSocket);
    // removing a client socket (KSECloseClientIO); taking, keeping and
    // dropping fragments; m_InUse with m_Unused and m_UnusedWaiters; and
    // m_SocketOwners.
    CKesMutex m_EngineLock;
    CKesTreeList* m_ServerTable; // service name -> CKesObjSockServer (owned)
    CKesTreeList*
        m_ServerSocketTable;     // accepted socket -> CKesPointer to CKesVarBind(service, socket) (owned)
    CKesTreeList* m_ClientTable; // service name -> CKesObjSockClient (owned)
    CKesTreeList* m_ClientSocketTable; // connected socket -> CKesObjSockClient (not owned here)
    // Socket handle -> the owner the tables above give it, under the engine
    // lock: every read and every packet asks who owns its socket, and an
    // index by handle answers without the tables' locks and keys.
    TKesHandleTable<Owner> m_SocketOwners;
    // Raised whenever an entry above changes whether its socket is owned:
    // the loop thread keeps what it found per handle (ReadState::owned)
    // until then, and so takes no lock for a read.
    std::atomic<uint64_t> m_OwnerChanges{0};
    CKesObjMulticast* m_Multicast;    // the multicast channel; null until started
    std::string m_MulticastInterface; // its chosen interface; "" the default (host thread)
    // Socket -> CKesIOWorkPacket holding the incomplete packet its last read
    // ended with (owned), always under m_EngineLock. The event-loop thread
    // takes a socket's fragment out, completes it and puts it back. Other
    // threads only drop one: a thread that removes the socket (workers, the
    // host) and the accept and connect threads, when a new connection
    // arrives under a reused handle, drop the dead connection's fragment.
    CKesTreeList* m_FragmentTable;
    // Threads inside each server and client (under m_EngineLock), so that
    // KSERemoveServer and KSERemoveClient return only once none is left.
    // Entries (never moved: the InUse of a thread inside holds its count)
    // are made and erased under m_EngineLock; counts drop without it.
    std::unordered_map<const void*, UseCount> m_InUse;
    // The entry CountIn found last: packets come to the same few owners
    // in a row, so most look-ups need no hash. Under m_EngineLock; forgotten
    // when an entry is erased.
    const void* m_LastCounted = nullptr;
    UseCount* m_LastCount = nullptr;
    std::condition_variable_any m_Unused; // an object's last thread has left it
    std::atomic<int> m_UnusedWaiters{0};  // threads waiting on m_Unused

    // The bounds on peers (see their setters); read on any thread.
    std::atomic<int> m_SendDeadlineMs{ms_DefaultSendDeadlineMs};
    std::atomic<long long> m_ReceiveBacklogCap{ms_DefaultReceiveBacklogCap};
    std::atomic<long long> m_ReassemblyLimit{ms_DefaultReassemblyLimit};
    std::atomic<int> m_IdentifyDeadlineMs{ms_DefaultIdentifyDeadlineMs};
    std::atomic<int> m_IdleLimitMs{ms_DefaultIdleLimitMs};
    std::atomic<int> m_UnackedLimitMs{ms_DefaultUnackedLimitMs};
    std::unique_ptr<CKesInstallationKey> m_InstallationKey; // made first by KSECreate
    // Populates large fragment buffers ahead of the reads into them, and
    // keeps the last large packet's buffer for the next. Made by KSECreate
    // before the workers; packets and fragments point at it (KIWPFillAhead,
    // KIWPKeepBufferWith), and all of them are gone once ReleaseAll has
    // drained the workers and dropped the fragments, before it is destroyed.
    std::unique_ptr<CKesPageFiller> m_PageFiller;
};
