// probe, send and listen: the commands that run a socket engine.
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CKesIOWorkPacket.h"
#include "CKesInstallationKey.h"
#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "CtlArgs.h"
#include "CtlCommands.h"
#include "CtlRecordText.h"
#include "CtlServiceFile.h"
#include "CtlSession.h"
#include "KesErrorCodes.h"

namespace {

// Workers of each engine: few records pass through a tool.
constexpr int kWorkers = 2;
constexpr double kDefaultTimeout = 5.0;

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// An engine cannot start without the installation's service file and its
// multicast entry; it would retry for a minute and then end the process.
// Says so at once instead. "" when the engine can start.
std::string CheckInstallation(CtlServiceFile* file)
{
    std::string error = file->Load(CtlServiceFile::DefaultPath());
    if (!error.empty()) return error + " (is KSX_HOME the installation home?)";
    if (file->SyntaxError())
        return "the service file " + file->Path() + " has a syntax error on line " +
               std::to_string(file->ErrorLine()) + " (see 'ksxctl check')";
    if (!file->Find(CtlServiceFile::ms_MulticastDomain, CtlServiceFile::ms_MulticastService))
        return "the service file " + file->Path() +
               " has no multicast entry (SERVICE: MulticastService DOMAIN: ANY_KES_DOMAIN ...), so no engine "
               "can start";
    return "";
}

// The server name the service file gives for an address and port, or "-".
std::string ServerNameOf(const std::string& domain, const std::string& service, const std::string& address,
                         int port)
{
    CKesServiceDataParser parser;
    std::string path = CtlServiceFile::DefaultPath();
    if (parser.KSDPParseFromFile(path.c_str()) != 1) return "-";
    CKesSockEnd* entry = parser.KSDPGetServiceData(domain.c_str(), service.c_str());
    if (!entry || !entry->KSEGetEndPointName()) return "-";
    char* entryAddress = entry->KSEGetEndPtIpAddress();
    const bool same =
        entryAddress && address == entryAddress && static_cast<int>(entry->KSEGetEndPtAddressPort()) == port;
    free(entryAddress);
    return same ? entry->KSEGetEndPointName() : "-";
}

// ---- probe --------------------------------------------------------------------

// What a probe waits for; replies are counted under the session's lock.
struct ProbeTarget {
    std::string service;
    std::string domain;
    CtlSession* session;
    int replies = 0;

    // True when the record is an address reply for this service and domain
    // (printed and counted).
    bool Take(const CKesRecord& record)
    {
        if (!record.KRValueOf(CKesSockEnd::ms_AddressReply)) return false;
        const CKesAtom* name = record.KRValueOf(CKesSockEnd::ms_ServiceNameField);
        const CKesAtom* domainName = record.KRValueOf(CKesSockEnd::ms_DomainNameField);
        if (!name || !domainName || !name->KAString() || !domainName->KAString()) return false;
        if (service != name->KAString() || domain != domainName->KAString()) return false;
        const CKesAtom* address = record.KRValueOf(CKesSockEnd::ms_AddressField);
        const CKesAtom* port = record.KRValueOf(CKesSockEnd::ms_PortField);
        // Any host on the link may reply: only a dotted address is printed,
        // never its text, which could forge lines or drive the terminal.
        in_addr dotted{};
        const bool isDotted =
            address && address->KAString() && inet_pton(AF_INET, address->KAString(), &dotted) == 1;
        const std::string addressText = isDotted ? address->KAString() : "?";
        const int portNumber = port ? port->KAInt() : 0;
        const std::string server = ServerNameOf(domain, service, addressText, portNumber);
        bool first = false;
        session->Update([&] { first = ++replies == 1; });
        std::string line = first ? "ADDRESS PORT SERVER\n" : "";
        CtlWriteOut(line + addressText + " " + std::to_string(portNumber) + " " + server + "\n");
        return true;
    }
};

// The target of the running probe; set before its engine exists, cleared
// after it is destroyed, so that no worker ever sees a dangling one.
std::atomic<ProbeTarget*> g_ProbeTarget{nullptr};

// An engine that shows the address replies for the probed service and
// dispatches every other datagram as usual.
class ProbeEngine : public CKesSockEngine {
public:
    ProbeEngine() : CKesSockEngine("ksxctl-probe", __KES_SERV_TOOL, kWorkers) {}
    ~ProbeEngine() override { KSEStopWorkers(); } // a worker may still be in KSEProcessMulticast

    int KSEProcessMulticast(CKesIOWorkPacket* packet) override
    {
        ProbeTarget* target = g_ProbeTarget.load();
        if (target && packet && packet->KIWPGetPacket()) {
            CKesRecord record;
            if (record.KOMDecode(packet->KIWPGetPacket(), packet->KIWPGetPacketLength()) == 1) {
                // With an installation key only replies that prove it to this probe are shown.
                if (!KSEGetInstallationKey()->KIKAdmitDatagram(
                        packet->KIWPGetPacket(), packet->KIWPGetPacketLength(), record,
                        packet->KIWPGetSource(), packet->KIWPGetSourceLen()))
                    return 1;
                if (target->Take(record)) return 1;
            }
        }
        return CKesSockEngine::KSEProcessMulticast(packet);
    }
};

// Sends one address request over the engine's multicast channel.
std::string SendAddressRequest(CKesSockEngine* engine, const ProbeTarget& target)
{
    CKesSockEnd asked;
    asked.KSESetServiceName(strdup(target.service.c_str()));
    asked.KSESetEndPointDomain(strdup(target.domain.c_str()));
    CKesRecord* request = asked.KSEGetAddressRequestPacket();
    CKesObjMulticast* channel = engine->KSEGetMulticast();
    int sent = request && channel
                   ? engine->KSEGetInstallationKey()->KIKSignRequest(*request, target.service.c_str())
                   : KES_ERR_ARGUMENT;
    if (sent == 1) sent = channel->KOMSendPacket(request);
    delete request;
    return sent == 1 ? "" : "the address request could not be sent (error " + std::to_string(sent) + ")";
}

// ---- send ---------------------------------------------------------------------

// A client that prints what its server sends back.
class SendClient : public CKesObjSockClient {
public:
    SendClient(char* clientId, CtlSession* session) : CKesObjSockClient(clientId), m_Session(session) {}
    // The callbacks use this object's members: end the connect thread first.
    ~SendClient() override { KOSCStopConnectThread(); }

    void KOSCOnClientConnect() override
    {
        m_Session->Update([&] { connected = true; });
    }
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override
    {
        int number = 0;
        m_Session->Update([&] { number = ++received; });
        CtlWriteOut("record " + std::to_string(number) + " from " + KOSCGetServiceName() + ":\n" +
                    CtlFormatRecord(*record));
        delete record;
    }

    // Guarded by the session's lock.
    bool connected = false;
    int received = 0;

private:
    CtlSession* m_Session; // outlives the client
};

std::string Unreachable(const std::string& service, const std::string& domain, const CtlServiceFile& file,
                        double timeout)
{
    std::string head = "cannot reach " + service + " in " + domain + ": ";
    const CtlEntry* entry = file.Find(domain, service);
    if (!entry) return head + "no server answered within " + Seconds(timeout) + " s";
    return head + "the service file names " + entry->address + ":" + std::to_string(entry->port) +
           " but no connection was made there within " + Seconds(timeout) + " s";
}

// ---- listen -------------------------------------------------------------------

// A server that prints every record with its client id, echoes it when
// asked, and ends the session after the wanted number of records.
class ListenServer : public CKesObjSockServer {
public:
    ListenServer(CtlSession* session, bool echo, int wanted)
        : m_Session(session), m_Echo(echo), m_Wanted(wanted)
    {
    }

    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override
    {
        int number = 0;
        m_Session->Update([&] { number = (m_Wanted == 0 || received < m_Wanted) ? ++received : 0; });
        if (number == 0) { // beyond the wanted count: the session is ending
            delete record;
            return;
        }
        const char* id = client && client->KSEGetEndPointName() ? client->KSEGetEndPointName() : "?";
        CtlWriteOut("record " + std::to_string(number) + " from " + id + ":\n" + CtlFormatRecord(*record));
        if (m_Echo && KOSSSendToClient(id, record) != 1)
            CtlFail("listen", std::string("could not echo record ") + std::to_string(number) + " to " + id);
        delete record;
        if (m_Wanted != 0 && number == m_Wanted) m_Session->Finish();
    }
    void KOSSOnClientConnect(CKesSockEnd* client) override
    {
        CtlWriteOut(std::string("client ") + Id(client) + " connected\n");
    }
    void KOSSOnClientDisconnect(CKesSockEnd* client) override
    {
        CtlWriteOut(std::string("client ") + Id(client) + " disconnected\n");
    }

    int received = 0; // guarded by the session's lock

private:
    static const char* Id(CKesSockEnd* client)
    {
        return client && client->KSEGetEndPointName() ? client->KSEGetEndPointName() : "?";
    }
    CtlSession* m_Session; // outlives the server
    const bool m_Echo;     // send each record back to its client
    const int m_Wanted;    // records after which to stop; 0: no limit
};

} // namespace

int CtlRunProbe(int argc, char** argv)
{
    CtlArgs args;
    std::string error = args.Parse(argc, argv, 2, {{"timeout", true}, {"count", true}});
    if (args.Help()) return CtlPrintHelp("probe"), kCtlOk;
    double timeout = 0;
    int wanted = 0;
    if (error.empty()) error = args.Seconds("timeout", kDefaultTimeout, &timeout);
    if (error.empty()) error = args.Count("count", 0, &wanted);
    if (error.empty() && args.Positional().size() != 2) error = "wants SERVICE and DOMAIN";
    if (!error.empty()) return CtlUsageError("probe", error);

    CtlServiceFile file;
    if (error = CheckInstallation(&file); !error.empty()) return CtlFail("probe", error);

    CtlSession session(timeout);
    ProbeTarget target{args.Positional()[0], args.Positional()[1], &session};
    g_ProbeTarget = &target;
    auto* engine = new ProbeEngine();
    session.Arm(engine);
    std::string sendError;
    session.Run([&] {
        sendError = SendAddressRequest(engine, target);
        if (sendError.empty()) session.Wait([&] { return wanted != 0 && target.replies >= wanted; });
        session.Finish();
    });
    g_ProbeTarget = nullptr;

    if (!sendError.empty()) return CtlFail("probe", sendError);
    if (target.replies > 0) return kCtlOk;
    if (session.Interrupted())
        return CtlFail("probe", "interrupted before any server answered", kCtlNoAnswer);
    return CtlFail("probe",
                   "no server of " + target.service + " in " + target.domain + " answered within " +
                       Seconds(timeout) + " s",
                   kCtlNoAnswer);
}

int CtlRunSend(int argc, char** argv)
{
    CtlArgs args;
    std::string error = args.Parse(argc, argv, 2, {{"id", true}, {"timeout", true}, {"count", true}});
    if (args.Help()) return CtlPrintHelp("send"), kCtlOk;
    double timeout = 0;
    int wanted = 0;
    if (error.empty()) error = args.Seconds("timeout", kDefaultTimeout, &timeout);
    if (error.empty()) error = args.Count("count", 0, &wanted);
    if (error.empty() && args.Positional().size() < 3)
        error = "wants SERVICE, DOMAIN and at least one name=value";
    const std::string clientId = args.Value("id", "ksxctl-" + std::to_string(getpid()));
    if (error.empty() && clientId.empty()) error = "--id wants a client id that is not empty";
    CKesRecord record;
    if (error.empty()) {
        std::vector<std::string> words(args.Positional().begin() + 2, args.Positional().end());
        error = CtlFillRecord(words, &record);
    }
    if (!error.empty()) return CtlUsageError("send", error);
    const std::string service = args.Positional()[0];
    const std::string domain = args.Positional()[1];

    CtlServiceFile file;
    if (error = CheckInstallation(&file); !error.empty()) return CtlFail("send", error);

    CtlSession session(timeout);
    auto* engine = new CKesSockEngine("ksxctl-send", __KES_SERV_TOOL, kWorkers);
    session.Arm(engine);
    auto* client = new SendClient(strdup(clientId.c_str()), &session);
    client->KOSCSetServiceName(strdup(service.c_str()));
    client->KOSCSetDomain(strdup(domain.c_str()));
    if (engine->KSEAddClient(client) != 1) {
        delete client;
        session.Abandon();
        return CtlFail("send", "the engine refused the client of " + service);
    }
    if (client->KOSCInitialise() != 1) {
        session.Abandon();
        return CtlFail("send", "the client of " + service + " could not start its connect thread");
    }
    std::string outcome; // "" once sent
    int status = kCtlOk;
    session.Run([&] {
        if (!session.Wait([&] { return client->connected; })) {
            // A server that was reached but failed the installation-key proof has been reported above.
            const CKesInstallationKey* key = engine->KSEGetInstallationKey();
            if (session.LoopEnded())
                outcome = "interrupted before " + service + " was reached";
            else if (key != nullptr && key->KIKRefusals() > 0)
                outcome = "cannot reach " + service + " in " + domain +
                          ": a server was reached, but the installation-key proof failed (see above)";
            else
                outcome = Unreachable(service, domain, file, timeout);
            status = kCtlNoAnswer;
        } else if (client->KOSCSendToServer(&record) != 1) {
            outcome = "cannot send to " + service + " in " + domain + ": the connection failed";
            status = kCtlNoAnswer;
        } else {
            CtlWriteOut("sent to " + service + " in " + domain + " as " + clientId + "\n");
            session.Wait([&] { return wanted != 0 && client->received >= wanted; });
        }
        session.Finish();
    });
    return outcome.empty() ? kCtlOk : CtlFail("send", outcome, status);
}

int CtlRunListen(int argc, char** argv)
{
    CtlArgs args;
    std::string error = args.Parse(argc, argv, 2, {{"echo", false}, {"count", true}, {"timeout", true}});
    if (args.Help()) return CtlPrintHelp("listen"), kCtlOk;
    double timeout = 0;
    int wanted = 0;
    if (error.empty()) error = args.Seconds("timeout", 0, &timeout);
    if (error.empty()) error = args.Count("count", 0, &wanted);
    if (error.empty() && args.Positional().size() != 2) error = "wants SERVICE and DOMAIN";
    if (!error.empty()) return CtlUsageError("listen", error);
    const std::string service = args.Positional()[0];
    const std::string domain = args.Positional()[1];

    CtlServiceFile file;
    if (error = CheckInstallation(&file); !error.empty()) return CtlFail("listen", error);

    CtlSession session(timeout);
    auto* engine = new CKesSockEngine("ksxctl-listen", __KES_SERV_DAEMON, kWorkers);
    session.Arm(engine);
    auto* server = new ListenServer(&session, args.Has("echo"), wanted);
    server->KOSSSetServiceName(strdup(service.c_str()));
    server->KOSSSetDomain(strdup(domain.c_str()));
    if (engine->KSEAddServer(server) != 1) {
        delete server;
        session.Abandon();
        return CtlFail("listen", "the engine refused the server of " + service);
    }
    if (server->KOSSInitialise() != 1) {
        session.Abandon();
        return CtlFail("listen", "cannot serve " + service + " in " + domain + " (see the report above)");
    }
    CKesSockEnd* self = server->KOSSGetServerData();
    char* address = self ? self->KSEGetEndPtIpAddress() : nullptr;
    CtlWriteOut("listening for " + service + " in " + domain + " at " + (address ? address : "?") + ":" +
                std::to_string(self ? self->KSEGetEndPtAddressPort() : 0) + " (" +
                (self && !self->KSEGetDynamic() ? "fixed" : "dynamic") + ")\n");
    free(address);

    bool complete = true;
    session.Run([&] {
        complete = session.Wait([&] { return wanted != 0 && server->received >= wanted; });
        session.Finish();
    });
    if (wanted == 0 || complete || session.Interrupted()) return kCtlOk;
    return CtlFail("listen",
                   "fewer than " + std::to_string(wanted) + " records arrived within " + Seconds(timeout) +
                       " s",
                   kCtlNoAnswer);
}
