// A client daemon for end-to-end tests across processes: ksx_e2e_client <service> <domain> <client id>.
// Prints "CONNECTED", "DISCONNECTED", "RECV <text>" for a record with an "Echo" value, "NEWS <text>" for
// one with a "News" value and "RECORD <typed words>" (KesTypedText.h) for any other.
// Commands on standard input: "SEND <text>" sends a record with that "Text" value and prints "SENT
// <result>" (before any answer to it); "TYPED <typed words>" sends that record likewise; "SERVER" prints
// "SERVER <address> <port>" of the server in use, or "SERVER none"; end of input ends the program.
#include <iostream>
#include <thread>

#include "CKesObjSockClient.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesTypedText.h"

using ksxhost::Say;

namespace {

// Holds the print lock across the send, so that "SENT" comes out before any answer to the record.
void Send(CKesObjSockClient* client, const std::string& text, bool typed)
{
    CKesRecord record;
    if (!typed)
        record.KRAddValue("Text", text.c_str());
    else if (!ksxhost::FillTyped(text, &record))
        return Say("SENT unreadable");
    std::lock_guard<std::recursive_mutex> hold(ksxhost::PrintLock());
    Say("SENT " + std::to_string(client->KOSCSendToServer(&record)));
}

class PrintingClient : public CKesObjSockClient {
public:
    explicit PrintingClient(const char* id) : CKesObjSockClient(strdup(id)) {}
    ~PrintingClient() override { KOSCStopConnectThread(); }
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override
    {
        const CKesAtom* echo = record->KRValueOf("Echo");
        if (echo && echo->KAString()) Say(std::string("RECV ") + echo->KAString());
        const CKesAtom* news = record->KRValueOf("News");
        if (news && news->KAString()) Say(std::string("NEWS ") + news->KAString());
        if (!echo && !news) Say("RECORD " + ksxhost::TypedText(*record));
        delete record;
    }
    void KOSCOnClientConnect() override { Say("CONNECTED"); }
    void KOSCOnClientDisconnect() override { Say("DISCONNECTED"); }
};

// The endpoint stays valid while the client is connected to that server, which is when the tests ask.
void TellServer(CKesObjSockClient* client)
{
    CKesSockEnd* server = client->KOSCGetServerData();
    char* address = server ? server->KSEGetEndPtIpAddress() : nullptr;
    if (!address) return Say("SERVER none");
    Say(std::string("SERVER ") + address + " " + std::to_string(server->KSEGetEndPtAddressPort()));
    free(address);
}

} // namespace

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
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "SERVER") TellServer(client);
        if (line.rfind("SEND ", 0) == 0) Send(client, line.substr(5), false);
        if (line.rfind("TYPED ", 0) == 0) Send(client, line.substr(6), true);
    }
    engine->KRNStopNet();
    loop.join();
    delete engine; // destroys the client with it
    return 0;
}
