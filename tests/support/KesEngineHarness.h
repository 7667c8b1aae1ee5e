// For tests running a socket engine in-process: logged host callbacks, logging hosts, greeting peers.
// Made and destroyed by the test thread; EventLog alone is shared with engine threads (own lock).
#pragma once

#include <condition_variable>
#include <cstring>

#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace ksxtest {

constexpr int kEngineGuardMs = kGuardMs;

class EventLog {
public:
    void Add(const std::string& event);
    std::vector<std::string> Events();
    int Count(const std::string& event);
    bool WaitFor(const std::string& event, int times = 1);

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Events;
};

// Logs "connect <id>", "disconnect <id|->", "io <id|-> <"data" text>"; with echo it echoes records instead.
class RecordingServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override;
    void KOSSOnClientConnect(CKesSockEnd* client) override { log.Add("connect " + Name(client)); }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override { log.Add("disconnect " + Name(client)); }
    unsigned int Port() { return KOSSGetServerData()->KSEGetEndPtAddressPort(); }
    static std::string Name(CKesSockEnd* client)
    {
        return client->KSEGetEndPointName() ? client->KSEGetEndPointName() : "-";
    }

    EventLog log;
    std::atomic<bool> echo{false};
};

std::unique_ptr<CKesRecord> Hello(const std::string& id); // a client's greeting
std::unique_ptr<WireConnection> Greeted(unsigned int port, const std::string& id);
// Greeted, and welcomed: "connect <id>" is in the server's log (a failure when it does not come).
std::unique_ptr<WireConnection> Identified(RecordingServer& server, const std::string& id);

// A new server of the service in the domain, neither added to an engine nor initialised.
template <typename Server = CKesObjSockServer>
Server* NamedServer(const char* service, const char* domain)
{
    auto* server = new Server;
    server->KOSSSetServiceName(strdup(service));
    server->KOSSSetDomain(strdup(domain));
    return server;
}

// A server added to the engine (which owns it) and initialised; nullptr when either fails.
template <typename Server>
Server* AddServer(CKesSockEngine& engine, const char* service, const char* domain)
{
    auto* server = NamedServer<Server>(service, domain);
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

// Logs "connect", "disconnect" and "io <"data" text>".
class LoggingClient : public CKesObjSockClient {
public:
    LoggingClient(const char* id, const char* service, const char* domain);
    ~LoggingClient() override { KOSCStopConnectThread(); }
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override;
    void KOSCOnClientConnect() override { log.Add("connect"); }
    void KOSCOnClientDisconnect() override { log.Add("disconnect"); }
    EventLog log;
};

// A service's address request, and its server's reply from 127.0.0.1:port.
std::unique_ptr<CKesRecord> AddressRequest(const char* service, const char* domain);
std::unique_ptr<CKesRecord> AddressReply(const char* service, const char* domain, int port);
// The next datagram on fd that decodes and `wanted` accepts; nullptr when none comes within timeoutMs.
std::unique_ptr<CKesRecord> NextDatagram(int fd, int timeoutMs = kEngineGuardMs,
                                         const std::function<bool(const CKesRecord&)>& wanted = nullptr);

} // namespace ksxtest
