// An echo server daemon built on the library, for end-to-end tests of the
// client across processes. Usage: ksx_e2e_server <service> <domain>.
// Prints "LISTENING <port>" once it accepts, "CLIENT <id>" when a client
// has identified itself, "RECV <id> <text>" for each record with a "Text"
// value (answered with the same text as "Echo"), "GONE <id>" when a
// client's connection closes. SIGTERM ends it cleanly.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesPort.h"

namespace {

std::mutex g_PrintLock;
CKesSockEngine* g_Engine = nullptr;

void Say(const std::string& line)
{
    std::lock_guard<std::mutex> hold(g_PrintLock);
    printf("%s\n", line.c_str());
    fflush(stdout);
}

std::string Id(CKesSockEnd* client)
{
    return client && client->KSEGetEndPointName() ? client->KSEGetEndPointName() : "?";
}

class EchoServer : public CKesObjSockServer {
public:
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        const CKesAtom* text = record->KRValueOf("Text");
        if (text && text->KAString()) {
            Say("RECV " + Id(client) + " " + text->KAString());
            CKesRecord echo;
            echo.KRAddValue("Echo", text->KAString());
            KOSSSendToClient(Id(client).c_str(), &echo);
        }
        delete record;
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override { Say("CLIENT " + Id(client)); }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override { Say("GONE " + Id(client)); }
};

void OnTerminate(int) { if (g_Engine) g_Engine->KRNStopNet(); }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <service> <domain>\n", argv[0]);
        return 2;
    }
    g_Engine = new CKesSockEngine("ksx_e2e_server", __KES_SERV_DAEMON, 2);
    signal(SIGTERM, OnTerminate);
    auto* server = new EchoServer;
    server->KOSSSetServiceName(strdup(argv[1]));
    server->KOSSSetDomain(strdup(argv[2]));
    if (g_Engine->KSEAddServer(server) != 1 || server->KOSSInitialise() != 1) {
        fprintf(stderr, "the server could not start\n");
        return 1;
    }
    std::thread announce([server] {
        while (server->KOSSGetConnectState() != KES_CONNECTED)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        Say("LISTENING " + std::to_string(server->KOSSGetServerData()->KSEGetEndPtAddressPort()));
    });
    g_Engine->KRNStartNet();
    announce.join();
    g_Engine->KNSafeExit();
    delete g_Engine;
    return 0;
}
