// CKesObjSockClient: the TCP client of one named service in one domain; it
// finds its server (service file first, then a multicast address request),
// connects, greets the server with its client id, keeps the connection alive
// and reconnects when it drops, all from a connect thread of its own.
//
// Ownership: created by the host (usually as a derived class that overrides
// the KesOn.../KOSCOn... callbacks); once added to an engine (KSEAddClient)
// the engine owns it and destroys it with itself. A host that destroys it
// itself stops its connect thread (KOSCStopConnectThread) and removes it from
// the engine (KSERemoveClient, which waits for the engine's calls inside it)
// first.
//
// Threads: the connect thread (attempts, keep-alives), the engine's worker
// threads (KOSCProcessAddressReply, KOSCProcessPacket), the event-loop thread
// (KOSCProcessPacket for a closed connection) and host threads (setters,
// KOSCSendToServer, KOSCDisconnect, destruction). The destructor must not run
// on the connect thread or inside KOSCOnClientConnect.
//
// Locks, in order: the connect thread's own lock (m_ConnThread), then the
// ClientLock (m_ClientLock: state changes, server endpoint, socket), then
// m_SendLock (each frame written; closing the socket), then m_ServerLock
// (innermost, held only for a pointer swap or copy). A sender holds
// m_SendLock alone; workers take m_ServerLock alone, and the ClientLock only
// by trying it, as the event-loop thread does (see CKesClientLock). An
// address reply arriving on a worker never touches the endpoint in use: it
// parks its endpoint under m_ServerLock, and the next attempt (or the worker,
// when its try gets the ClientLock) adopts it under the ClientLock. Received
// records hold a counted reference to the endpoint, so forgetting the server
// never frees an endpoint a callback still reads. Helpers that need a lock
// check it in debug and sanitizer builds.
//
// Sources: CKesObjSockClient.cpp (construction, setters, traffic, losing and
// closing the connection), CKesObjSockClientConnect.cpp (the connect thread,
// finding the server, attempts, connecting).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "CKesClientLock.h"
#include "CKesMutex.h"
#include "CKesThread.h"
#include "EKesConnectState.h"
#include "KesErrorCodes.h"

class CKesInstallationKey;
class CKesSockEngine;
class CKesObjMulticast;
class CKesSockEnd;
class CKesRecord;
class CKesIOWorkPacket;

class CKesObjSockClient {
public:
    CKesObjSockClient();
    // Takes over a non-null heap client id.
    explicit CKesObjSockClient(char* clientId);
    virtual ~CKesObjSockClient();

    // ---- host callbacks (override in a derived class) ----------------------
    // One record the server sent; the callee owns it. Default: deletes it.
    virtual void KesOnClientIO(CKesSockEnd* server, CKesRecord* record);
    // The client has become connected (called without the ClientLock held).
    virtual void KOSCOnClientConnect();
    // The server has closed the connection.
    virtual void KOSCOnClientDisconnect();

    // ---- setters: heap texts are taken over; null gives KES_ERR_ARGUMENT -----------
    int KOSCSetClientId(char* clientId);
    int KOSCSetServiceName(char* serviceName);
    int KOSCSetDomain(char* domain);
    int KOSCSetMulticastPtr(CKesObjMulticast* multicast);
    int KOSCSetController(CKesSockEngine* controller);

    // ---- getters: no transfer ---------------------------------------------
    char* KOSCGetClientId();
    char* KOSCGetServiceName();
    char* KOSCGetDomain();
    unsigned int KOSCGetClientTCPSocket();
    CKesSockEnd* KOSCGetClientData();
    CKesSockEnd* KOSCGetServerData();
    CKesObjMulticast* KOSCGetMulticastPtr();
    CKesSockEngine* KOSCGetController();
    // The connect state, read under the ClientLock.
    EKesConnectState KOSCGetState();
    CKesThread& KOSCGetConnThread();
    bool KOSCShuttingDown() const;

    // ---- connection (CKesObjSockClientConnect.cpp) ----------------------------
    // Starts the connect thread.
    int KOSCInitialise();
    int KOSCStartConnectThread();
    // One connection attempt, holding the ClientLock throughout (a sender
    // waits for its end); a failed attempt forgets the server. Calls
    // KOSCOnClientConnect after the lock is released when it connected.
    int KOSCConnect();
    // A new endpoint for this service and domain from the service file, or
    // null; the caller owns it.
    CKesSockEnd* KOSCFindServerData();
    int KOSCSendAddressRequest();
    // A new address request record, or null; the caller owns it.
    CKesRecord* KOSCBuildAddressRequest();
    // Called by the engine for each address reply naming this service; the
    // caller keeps the record. The first reply whose domain and service match
    // exactly wins; replies are ignored while a server is known.
    int KOSCProcessAddressReply(CKesRecord* reply);
    // Makes an endpoint from the four values (taking over the texts) and
    // offers it as the server: adopted at once when the ClientLock is free
    // and no server is in use, otherwise parked for the next attempt.
    int KOSCBuildServerData(char* domain, char* serviceName, char* address, int port);
    // Replaces an any/all-ones server address by the socket's peer address.
    int KOSCResetServerAddress();
    int KOSCOpenTCPSocket();
    // Connects (blocking; an interrupted connect is waited for), registers the
    // socket with the engine and, after the greeting delay, sends the client id.
    int KOSCConnectSocketToServer();
    // Registers m_TCPSocket with the engine.
    int KOSCConnectIO();
    // Forgets the server (and a parked announced one) and turns
    // KES_UNCONNECTED, under the ClientLock; the socket is left alone.
    void KOSCIsUnconnected();

    // ---- traffic (CKesObjSockClient.cpp) ---------------------------------------
    // Sends a whole buffer. While a connection is being made outside an
    // attempt it waits up to 70 s; KES_ERR_SEND when not connected then, or
    // when the send fails. A frame not taken within the engine's send
    // deadline closes the connection (the connect thread reconnects) and
    // gives KES_ERR_SEND. Nothing is queued.
    int KOSCSendToServer(unsigned char* buffer, unsigned int length);
    // Encodes, frames and sends a record; the caller keeps the record.
    int KOSCSendToServer(CKesRecord* record);
    // Batched sending (opt-in, for streams of many small records): count
    // records framed back to back in one buffer, in order, and written with
    // as few writes as the socket takes, under one hold of the send lock (no
    // other sender's frame comes between them). The caller keeps the records.
    // A null record or one that cannot be encoded is reported and left out,
    // the others are still sent, and the result is that failure's code;
    // otherwise as KOSCSendToServer(record): 1, or KES_ERR_SEND (not
    // connected, or the write failed or passed the send deadline, which
    // closes the connection: the server then has a prefix of the batch).
    int KOSCSendRecordsToServer(CKesRecord** records, unsigned int count);
    // Sends the client-id record on a freshly connected socket.
    int KOSCSendClientId();
    // Handles one work packet the engine received on a client socket; the
    // caller keeps the packet. Length 0 means the server has gone.
    int KOSCProcessPacket(CKesIOWorkPacket* workPacket);
    // Closes the connection, keeping the server endpoint and calling no
    // callback; the connect thread reconnects to the same server.
    int KOSCDisconnect();

protected:
    // Ends the connect thread and waits for it (idempotent). A derived class
    // whose callbacks use its own members calls this first in its destructor,
    // so that no callback runs on a half-destroyed object.
    void KOSCStopConnectThread();

private:
    CKesObjSockClient(const CKesObjSockClient& other);
    CKesObjSockClient& operator=(const CKesObjSockClient&) = delete;

    // The connect thread (CKesObjSockClientConnect.cpp); a pass runs with
    // the thread's own lock held.
    static void* ClientConnectThread(void* argument);
    void ConnectThreadLoop();
    bool ConnectThreadPass();
    bool WaitOnConnThread(long seconds);
    void ReportRetry();

    // Caller holds the ClientLock (checked in debug and sanitizer builds).
    int AttemptWithLock();
    void ForgetFailedSocket();
    std::shared_ptr<CKesSockEnd> ForgetServer();
    std::shared_ptr<CKesSockEnd> SwapServerData(CKesSockEnd* server);
    void AdoptAnnouncedServer();
    // Caller holds the ClientLock and m_SendLock (checked likewise).
    void CloseSocket();
    // Caller holds neither lock: closes what CloseSocket let go of.
    void CloseRetiredSockets();

    // Take m_ServerLock themselves, alone or inside the ClientLock.
    std::shared_ptr<CKesSockEnd> ServerSnapshot();
    void ParkAnnouncedServer(CKesSockEnd* server);
    void DropAnnouncedServer();

    // Installation key (CKesObjSockClientAuth.cpp): the proof runs inside
    // KOSCConnectSocketToServer, before the socket is registered.
    bool ProveInstallationKey(const CKesSockEnd& server);
    bool ReadBefore(unsigned char* out, size_t length, std::chrono::steady_clock::time_point deadline,
                    bool* late);
    std::unique_ptr<CKesRecord> ReadProofRecord(std::chrono::steady_clock::time_point deadline, bool* late);
    std::string AnswerChallenge(const CKesInstallationKey& key, const unsigned char* serverNonce,
                                std::chrono::steady_clock::time_point deadline);
    void RefuseServer();
    // A worker: true when the record is a member server's proof reaching a
    // client without a key (reported once per server; the caller drops it).
    bool DropProofRecord(const CKesRecord& record);

    // Traffic (CKesObjSockClient.cpp).
    int ServerClosed(unsigned int socket);
    int SendFrame(const unsigned char* frame, unsigned int length);
    void ReportRefusedSend(EKesConnectState state);
    EKesConnectState WaitForConnection();

    CKesClientLock m_ClientLock;           // the ClientLock: state, endpoint, socket
    CKesMutex m_SendLock;                  // held around each send of a frame
    char* m_ClientId;                      // owned heap text, sent after each connect
    char* m_ServiceName;                   // owned heap text; the engine's key for us
    char* m_Domain;                        // owned heap text
    std::atomic<unsigned int> m_TCPSocket; // owned; changed under the ClientLock
                                           // and m_SendLock, read by workers unlocked
    // Sockets let go of (under the ClientLock and m_SendLock) and not yet
    // closed: guarded by the ClientLock.
    std::vector<unsigned int> m_RetiredSockets;
    CKesSockEnd* m_ClientData;                 // never set by the system; stays null
    std::shared_ptr<CKesSockEnd> m_ServerData; // the server in use, or null;
                                               // replaced under the ClientLock and m_ServerLock
    std::atomic<EKesConnectState> m_State;     // changed under the ClientLock
    CKesSockEngine* m_Controller;              // the engine, not owned
    CKesObjMulticast* m_Multicast;             // the engine's channel, not owned
    CKesThread m_ConnThread;                   // the connect thread, its lock and condition
    std::atomic<bool> m_ShuttingDown;          // set when stopping, before the thread lock;
                                               // read with or without it

    CKesMutex m_ServerLock;         // innermost: m_ServerData swaps, m_AnnouncedServer
    CKesSockEnd* m_AnnouncedServer; // owned; endpoint from an address reply,
                                    // adopted by the next attempt
};
