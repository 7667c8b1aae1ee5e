// ksx_demo_client: a client daemon of the demo. It uses the service
// "DemoEcho" in the domain "Demo", finding its server through the service
// file of its KSX_HOME or, when the file lacks the service, over multicast,
// and reconnects by itself whenever the server goes away.
//
//   ksx_demo_client <client-id>
//
// It reports each event as one line on stdout, "@event key=value ...", for
// whoever started it (ksx_demo reads them through a pipe). Commands come on
// stdin, one per line:
//   send <count>   sends <count> records {kind=request, seq} to the server,
//                  numbered on from the last one sent
// It stops on SIGINT or SIGTERM (KRNStopNet from the handler) and exits 0.
//
// Threads: the main thread (set-up, the event loop, shutdown); the command
// thread (stdin, sends); the client's connect thread (KOSCOnClientConnect);
// the engine's workers (received records) and event-loop thread (a closed
// connection). The command thread is joined before the engine goes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CKesObjSockClient.h"
#include "CKesRecord.h"
#include "CKesSockEngine.h"
#include "KesDemoDaemon.h"

namespace {

using ksxdemo::Emit;
using ksxdemo::g_engine;
using ksxdemo::InstallStopHandlers;
using ksxdemo::kDomain;
using ksxdemo::kService;

// "address:port" of the socket's peer. Asked of the socket itself rather
// than the client's server endpoint, which a lost connection may free.
std::string PeerOf(unsigned int socket)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return "unknown";
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

class DemoClient : public CKesObjSockClient {
public:
    explicit DemoClient(char* clientId) : CKesObjSockClient(clientId) {}
    // The callbacks use Emit only, but stop the connect thread before the
    // derived part goes all the same.
    ~DemoClient() override { KOSCStopConnectThread(); }

    // Connect thread, after each successful attempt.
    void KOSCOnClientConnect() override
    {
        Emit("connected server=%s", PeerOf(KOSCGetClientTCPSocket()).c_str());
    }
    // Event-loop thread; the connect thread tries again by itself.
    void KOSCOnClientDisconnect() override { Emit("disconnected"); }

    // Worker thread; the record is ours.
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override
    {
        CKesAtom* kind = record->KRValueOf("kind");
        CKesAtom* seq = record->KRValueOf("seq");
        const char* kindText = kind && kind->KAString() ? kind->KAString() : "record";
        Emit("%s seq=%d", kindText, seq ? seq->KAInt() : -1);
        delete record;
    }

    // Command thread: numbered requests, continuing from the last one.
    void SendRequests(int count)
    {
        for (int i = 0; i < count; ++i) {
            const int seq = ++m_LastSeq;
            CKesRecord record;
            record.KRAddValue("kind", "request");
            record.KRAddValue("seq", CKesAtom(seq));
            record.KRAddValue("text", "hello from the demo");
            const int result = KOSCSendToServer(&record);
            if (result == 1)
                Emit("sent seq=%d", seq);
            else
                Emit("send-failed seq=%d code=%d", seq, result);
        }
    }

private:
    std::atomic<int> m_LastSeq{0};
};

void HandleCommand(DemoClient* client, const std::string& line)
{
    int count = 0;
    if (std::sscanf(line.c_str(), "send %d", &count) == 1 && count > 0) {
        client->SendRequests(count);
        return;
    }
    Emit("unknown-command text=%s", line.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || !argv[1][0]) {
        std::fprintf(stderr, "usage: ksx_demo_client <client-id>\n");
        return 2;
    }
    CKesSockEngine engine("ksx_demo_client", __KES_SERV_DAEMON, 2);
    g_engine = &engine;
    InstallStopHandlers();

    auto* client = new DemoClient(strdup(argv[1])); // owned by the engine once added
    client->KOSCSetServiceName(strdup(kService));
    client->KOSCSetDomain(strdup(kDomain));
    if (engine.KSEAddClient(client) != 1) {
        delete client;
        Emit("failed step=register");
        return EXIT_FAILURE;
    }
    if (client->KOSCInitialise() != 1) {
        Emit("failed step=initialise");
        return EXIT_FAILURE;
    }
    Emit("looking-for service=%s domain=%s id=%s pid=%d", kService, kDomain, argv[1],
         static_cast<int>(getpid()));

    if (!ksxdemo::RunWithCommands(engine,
                                  [client](const std::string& line) { HandleCommand(client, line); })) {
        Emit("failed step=pipe");
        return EXIT_FAILURE;
    }
    engine.KNSafeExit();
    Emit("stopped");
    return EXIT_SUCCESS;
}
