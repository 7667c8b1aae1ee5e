// An echo server daemon for end-to-end tests of the client across processes: ksx_e2e_server <service>
// <domain>. Prints "LISTENING <port> <address>" once it accepts, "CLIENT <id>" when a client has
// identified itself, "RECV <id> <text>" for a record with a "Text" value (answered with it as "Echo"),
// "RECORD <id> <typed words>" (KesTypedText.h) for any other record (sent back whole), and "GONE <id>"
// when a client's connection closes. SIGTERM ends it cleanly.
// Commands on standard input (its end only stops the reading): "BROADCAST <text>" sends a record with
// that "News" value to every client and prints "BROADCAST <result>"; "SENDTO <id> <text>" sends it to
// one client and prints "SENDTO <result>".
#include <csignal>
#include <iostream>
#include <thread>

#include "CKesObjSockServer.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesTypedText.h"

using ksxhost::Say;

namespace {

CKesSockEngine* g_Engine = nullptr;
// Commands reach the server only under this lock; it is cleared before the engine withdraws it.
std::mutex g_CommandLock;
CKesObjSockServer* g_Server = nullptr;

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
        } else {
            Say("RECORD " + Id(client) + " " + ksxhost::TypedText(*record));
            KOSSSendToClient(Id(client).c_str(), record);
        }
        delete record;
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override { Say("CLIENT " + Id(client)); }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override { Say("GONE " + Id(client)); }
};

void Obey(const std::string& line)
{
    std::lock_guard<std::mutex> hold(g_CommandLock);
    if (!g_Server) return;
    CKesRecord news;
    if (line.rfind("BROADCAST ", 0) == 0) {
        news.KRAddValue("News", line.substr(10).c_str());
        return Say("BROADCAST " + std::to_string(g_Server->KOSSBroadcastClients(&news)));
    }
    const size_t idEnd = line.find(' ', 7);
    if (line.rfind("SENDTO ", 0) != 0 || idEnd == std::string::npos) return;
    news.KRAddValue("News", line.substr(idEnd + 1).c_str());
    Say("SENDTO " + std::to_string(g_Server->KOSSSendToClient(line.substr(7, idEnd - 7).c_str(), &news)));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <service> <domain>\n", argv[0]);
        return 2;
    }
    g_Engine = new CKesSockEngine("ksx_e2e_server", __KES_SERV_DAEMON, 2);
    signal(SIGTERM, [](int) { g_Engine->KRNStopNet(); });
    auto* server = new EchoServer;
    server->KOSSSetServiceName(strdup(argv[1]));
    server->KOSSSetDomain(strdup(argv[2]));
    if (g_Engine->KSEAddServer(server) != 1 || server->KOSSInitialise() != 1) {
        fprintf(stderr, "the server could not start\n");
        return 1;
    }
    g_Server = server;
    std::thread announce([server] {
        while (server->KOSSGetConnectState() != KES_CONNECTED)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        CKesSockEnd* end = server->KOSSGetServerData();
        char* address = end->KSEGetEndPtIpAddress();
        Say("LISTENING " + std::to_string(end->KSEGetEndPtAddressPort()) + " " + (address ? address : "?"));
        free(address);
    });
    // Blocked in a read at the end; the process ends around it.
    std::thread([] {
        for (std::string line; std::getline(std::cin, line);) Obey(line);
    }).detach();
    g_Engine->KRNStartNet();
    announce.join();
    {
        std::lock_guard<std::mutex> hold(g_CommandLock);
        g_Server = nullptr;
    }
    g_Engine->KNSafeExit();
    delete g_Engine;
    return 0;
}
