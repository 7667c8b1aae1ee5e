// Scaffolding for tests that run a socket engine in the test process: a
// thread-safe log of host callbacks, a server that logs them, and peers that
// greet a server. Made and destroyed by the test thread; EventLog is written
// from engine threads and read by the test under its own lock.
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <cstring>

#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace ksxtest {

// How long a test waits for something that must happen.
constexpr int kEngineGuardMs = kGuardMs;

// Host callbacks as lines of text, in the order they happened.
class EventLog {
public:
    void Add(const std::string& event);
    std::vector<std::string> Events();
    int Count(const std::string& event);
    // Waits until the event has been logged `times` times; false when the guard runs out.
    bool WaitFor(const std::string& event, int times = 1);

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Events;
};

// Logs every callback as "connect <id>", "disconnect <id or ->" and
// "io <id or -> <text of the record's "data" field>"; with echo set it sends
// each record back to its client instead of logging it.
class RecordingServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override;
    void KOSSOnClientConnect(CKesSockEnd* client) override { log.Add("connect " + Name(client)); }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override { log.Add("disconnect " + Name(client)); }
    unsigned int Port() { return KOSSGetServerData()->KSEGetEndPtAddressPort(); }
    static std::string Name(CKesSockEnd* client);

    EventLog log;
    std::atomic<bool> echo{false};
};

// The record a client greets its server with.
std::unique_ptr<CKesRecord> Hello(const std::string& id);
// A connection to a loopback port that has sent its greeting.
std::unique_ptr<WireConnection> Greeted(unsigned int port, const std::string& id);

// A server of this service and domain, added to the engine and initialised
// (nullptr when either fails; the engine owns it otherwise).
template <typename Server>
Server* AddServer(CKesSockEngine& engine, const char* service, const char* domain)
{
    auto* server = new Server;
    server->KOSSSetServiceName(strdup(service));
    server->KOSSSetDomain(strdup(domain));
    if (engine.KSEAddServer(server) != 1) {
        delete server;
        return nullptr;
    }
    return server->KOSSInitialise() == 1 ? server : nullptr;
}

// Runs the delays at `scale` for a scope; made before an engine, it outlives it.
class ScopedTimeScale {
public:
    explicit ScopedTimeScale(double scale) { KesSetTimeScale(scale); }
    ~ScopedTimeScale() { KesSetTimeScale(1.0); }
};

// A client of this service and domain that logs "connect", "disconnect" and
// "io <text of the record's "data" field>".
class LoggingClient : public CKesObjSockClient {
public:
    LoggingClient(const char* id, const char* service, const char* domain);
    ~LoggingClient() override { KOSCStopConnectThread(); }
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override;
    void KOSCOnClientConnect() override { log.Add("connect"); }
    void KOSCOnClientDisconnect() override { log.Add("disconnect"); }
    EventLog log;
};

// The address request for a service, and the reply of its server at 127.0.0.1:port.
std::unique_ptr<CKesRecord> AddressRequest(const char* service, const char* domain);
std::unique_ptr<CKesRecord> AddressReply(const char* service, const char* domain, int port);
// The next datagram on fd that decodes and that `wanted` (when given) accepts;
// nullptr when none comes within timeoutMs of the one before.
std::unique_ptr<CKesRecord> NextDatagram(int fd, int timeoutMs = kEngineGuardMs,
                                         const std::function<bool(const CKesRecord&)>& wanted = nullptr);
// An IPv4 socket address from its text and port.
sockaddr_in Ipv4(const char* address, int port);

} // namespace ksxtest
