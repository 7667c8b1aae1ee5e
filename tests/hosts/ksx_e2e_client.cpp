// A client daemon built on the library, for end-to-end tests across
// processes. Usage: ksx_e2e_client <service> <domain> <client id>.
// Prints "CONNECTED", "DISCONNECTED" and "RECV <text>" (for each record with
// an "Echo" value). Reads commands from standard input: "SEND <text>" sends
// a record with that "Text" value and prints "SENT <result>"; end of input
// ends the program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "CKesObjSockClient.h"
#include "CKesRecord.h"
#include "CKesSockEngine.h"
#include "KesPort.h"

namespace {

std::mutex g_PrintLock;

void Say(const std::string& line)
{
    std::lock_guard<std::mutex> hold(g_PrintLock);
    printf("%s\n", line.c_str());
    fflush(stdout);
}

class PrintingClient : public CKesObjSockClient {
public:
    explicit PrintingClient(const char* id) : CKesObjSockClient(strdup(id)) {}
    ~PrintingClient() override { KOSCStopConnectThread(); }
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override
    {
        const CKesAtom* echo = record->KRValueOf("Echo");
        if (echo && echo->KAString())
            Say(std::string("RECV ") + echo->KAString());
        delete record;
    }
    void KOSCOnClientConnect() override { Say("CONNECTED"); }
    void KOSCOnClientDisconnect() override { Say("DISCONNECTED"); }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s <service> <domain> <client id>\n", argv[0]);
        return 2;
    }
    auto* engine = new CKesSockEngine("ksx_e2e_client", __KES_SERV_DAEMON, 2);
    auto* client = new PrintingClient(argv[3]);
    client->KOSCSetServiceName(strdup(argv[1]));
    client->KOSCSetDomain(strdup(argv[2]));
    engine->KSEAddClient(client);
    if (client->KOSCInitialise() != 1) {
        fprintf(stderr, "the client could not start\n");
        return 1;
    }
    std::thread loop([engine] { engine->KRNStartNet(); });

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("SEND ", 0) != 0)
            continue;
        CKesRecord record;
        record.KRAddValue("Text", line.substr(5).c_str());
        Say("SENT " + std::to_string(client->KOSCSendToServer(&record)));
    }
    engine->KRNStopNet();
    loop.join();
    delete engine;  // destroys the client with it
    return 0;
}
