// ksx_demo_server: the server daemon of the demo. It offers the service
// "DemoEcho" in the domain "Demo" (a system-chosen port, published in the
// service file of its KSX_HOME), answers every record a client sends and, on
// request, broadcasts a record to all its clients.
//
// It reports each event as one line on stdout, "@event key=value ...", for
// whoever started it (ksx_demo reads them through a pipe). Commands come on
// stdin, one per line:
//   broadcast <seq>   sends {kind=broadcast, seq} to every identified client
// It stops on SIGINT or SIGTERM: the handler calls KRNStopNet, the main
// thread then calls KNSafeExit (the service line leaves the file) and exits 0.
//
// Threads: the main thread (set-up, the event loop, shutdown); the command
// thread (stdin, broadcasts); the engine's workers (records, greetings); the
// server's accept thread. The command thread is joined before KNSafeExit.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesDemoDaemon.h"

namespace {

using ksxdemo::Emit;
using ksxdemo::g_engine;
using ksxdemo::InstallStopHandlers;
using ksxdemo::kDomain;
using ksxdemo::kService;

int SeqOf(const CKesRecord* record)
{
    CKesAtom* seq = record->KRValueOf("seq");
    return seq ? seq->KAInt() : -1;
}

class DemoServer : public CKesObjSockServer {
public:
    void KOSSOnClientConnect(CKesSockEnd* client) override
    {
        Emit("client-connected id=%s", client->KSEGetEndPointName());
    }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override
    {
        const char* id = client->KSEGetEndPointName();
        Emit("client-disconnected id=%s", id ? id : "(unidentified)");
    }

    // Worker thread; the record is ours. Every request gets an answer that
    // carries its sequence number back.
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        const char* id = client->KSEGetEndPointName();
        const int seq = SeqOf(record);
        delete record;
        Emit("received from=%s seq=%d", id, seq);
        CKesRecord answer;
        answer.KRAddValue("kind", "answer");
        answer.KRAddValue("seq", CKesAtom(seq));
        answer.KRAddValue("text", "answered by the demo server");
        const int result = KOSSSendToClient(id, &answer);
        if (result == 1)
            Emit("answered to=%s seq=%d", id, seq);
        else
            Emit("answer-failed to=%s seq=%d code=%d", id, seq, result);
    }

    void Broadcast(int seq)
    {
        CKesRecord record;
        record.KRAddValue("kind", "broadcast");
        record.KRAddValue("seq", CKesAtom(seq));
        record.KRAddValue("text", "news for every client");
        Emit("broadcast seq=%d result=%d", seq, KOSSBroadcastClients(&record));
    }
};

void HandleCommand(DemoServer* server, const std::string& line)
{
    int seq = 0;
    if (std::sscanf(line.c_str(), "broadcast %d", &seq) == 1) {
        server->Broadcast(seq);
        return;
    }
    Emit("unknown-command text=%s", line.c_str());
}

} // namespace

int main()
{
    CKesSockEngine engine("ksx_demo_server", __KES_SERV_DAEMON, 4);
    g_engine = &engine;
    InstallStopHandlers();

    auto* server = new DemoServer(); // owned by the engine once added
    server->KOSSSetServiceName(strdup(kService));
    server->KOSSSetDomain(strdup(kDomain));
    if (engine.KSEAddServer(server) != 1) {
        delete server;
        Emit("failed step=register");
        return EXIT_FAILURE;
    }
    if (server->KOSSInitialise() != 1) {
        Emit("failed step=initialise");
        return EXIT_FAILURE; // the engine's destructor disposes of the server
    }
    CKesSockEnd* published = server->KOSSGetServerData();
    char* address = published ? published->KSEGetEndPtIpAddress() : nullptr;
    Emit("serving service=%s domain=%s address=%s port=%u pid=%d", kService, kDomain, address ? address : "?",
         published ? published->KSEGetEndPtAddressPort() : 0, static_cast<int>(getpid()));
    free(address);

    if (!ksxdemo::RunWithCommands(engine,
                                  [server](const std::string& line) { HandleCommand(server, line); })) {
        Emit("failed step=pipe");
        return EXIT_FAILURE;
    }
    engine.KNSafeExit(); // stops the server and withdraws its service line
    Emit("withdrawn service=%s", kService);
    return EXIT_SUCCESS;
}
