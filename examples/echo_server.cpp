// echo_server: a daemon that offers the service "Echo" in the domain
// "Examples" and sends every record a client sends straight back to it.
// It runs until SIGINT or SIGTERM, then withdraws the service and exits.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"

namespace {

CKesSockEngine* g_engine = nullptr; // set before the handlers are installed

// KRNStopNet only sets a flag and wakes the event loop: safe in a handler.
extern "C" void StopOnSignal(int) { g_engine->KRNStopNet(); }

void InstallStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

class EchoServer : public CKesObjSockServer {
public:
    // A client has sent its client id; from now on its records reach us.
    void KOSSOnClientConnect(CKesSockEnd* client) override
    {
        std::printf("client \"%s\" connected\n", client->KSEGetEndPointName());
        std::fflush(stdout);
    }

    // Runs on a worker thread; the record is ours to delete.
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        if (KOSSSendToClient(client->KSEGetEndPointName(), record) != 1)
            std::fprintf(stderr, "could not echo to \"%s\"\n", client->KSEGetEndPointName());
        delete record;
    }
};

} // namespace

int main()
{
    CKesSockEngine engine("echo_server", __KES_SERV_DAEMON, 4);
    g_engine = &engine;
    InstallStopHandlers();

    auto* server = new EchoServer(); // owned by the engine once added
    server->KOSSSetServiceName(strdup("Echo"));
    server->KOSSSetDomain(strdup("Examples"));
    if (engine.KSEAddServer(server) != 1) {
        delete server;
        return EXIT_FAILURE;
    }
    if (server->KOSSInitialise() != 1) return EXIT_FAILURE; // the engine's destructor disposes of the server
    std::printf("serving Echo in domain Examples\n");
    std::fflush(stdout);

    engine.KRNStartNet(); // returns once a signal has called KRNStopNet
    engine.KNSafeExit();  // stops the server and withdraws its service line
    std::printf("stopped\n");
    return EXIT_SUCCESS;
}
