// An echo server daemon built on the library, for end-to-end tests of the
// client across processes. Usage: ksx_e2e_server <service> <domain>.
// Prints "LISTENING <port> <address>" once it accepts, "CLIENT <id>" when a
// client has identified itself, "RECV <id> <text>" for each record with a
// "Text" value (answered with the same text as "Echo"), "GONE <id>" when a
// client's connection closes. A record without a "Text" value is printed
// as "RECORD <id> <typed words>" (KesTypedText.h) and sent back whole.
// SIGTERM ends it cleanly.
// Reads commands from standard input (end of input only stops the reading):
// "BROADCAST <text>" sends a record with that "News" value to every client
// and prints "BROADCAST <result>"; "SENDTO <id> <text>" sends it to one
// client and prints "SENDTO <result>".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesPort.h"
#include "KesTypedText.h"

namespace {

std::mutex g_PrintLock;
CKesSockEngine* g_Engine = nullptr;

// The server that commands go to; cleared (under the lock) before the
// engine withdraws it, so a late command cannot reach a destroyed server.
std::mutex g_CommandLock;
class EchoServer;
EchoServer* g_Server = nullptr;

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
        } else {
            Say("RECORD " + Id(client) + " " + ksxhost::TypedText(*record));
            KOSSSendToClient(Id(client).c_str(), record);
        }
        delete record;
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override { Say("CLIENT " + Id(client)); }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override { Say("GONE " + Id(client)); }
};

void OnTerminate(int)
{
    if (g_Engine) g_Engine->KRNStopNet();
}

// One command line from standard input.
void Obey(const std::string& line)
{
    std::lock_guard<std::mutex> hold(g_CommandLock);
    if (!g_Server) return;
    CKesRecord news;
    if (line.rfind("BROADCAST ", 0) == 0) {
        news.KRAddValue("News", line.substr(10).c_str());
        Say("BROADCAST " + std::to_string(g_Server->KOSSBroadcastClients(&news)));
        return;
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
    signal(SIGTERM, OnTerminate);
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
        std::string line;
        while (std::getline(std::cin, line)) Obey(line);
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
