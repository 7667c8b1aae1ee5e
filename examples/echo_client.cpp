// echo_client: a daemon that uses the service "Echo" in the domain
// "Examples". Once connected it sends a few records, prints each answer and
// exits when all have come back (status 0), or earlier on SIGINT or SIGTERM
// (status 1).
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CKesObjSockClient.h"
#include "CKesRecord.h"
#include "CKesSockEngine.h"

namespace {

constexpr int kRecords = 3;
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

class EchoClient : public CKesObjSockClient {
public:
    explicit EchoClient(char* clientId) : CKesObjSockClient(clientId) {}
    // The callbacks use our members: stop the connect thread before they go.
    ~EchoClient() override { KOSCStopConnectThread(); }

    std::atomic<int> answers{0};

    // Runs on the connect thread; the records go out once, on the first connection.
    void KOSCOnClientConnect() override
    {
        if (m_Sent.exchange(true)) return;
        for (int i = 1; i <= kRecords; ++i) {
            CKesRecord record;
            record.KRAddValue("text", "hello");
            record.KRAddValue("seq", CKesAtom(i));
            if (KOSCSendToServer(&record) != 1) std::fprintf(stderr, "could not send record %d\n", i);
        }
    }

    // Runs on a worker thread; the record is ours to delete.
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override
    {
        CKesAtom* seq = record->KRValueOf("seq");
        CKesAtom* text = record->KRValueOf("text");
        std::printf("answer seq=%d text=%s\n", seq ? seq->KAInt() : -1,
                    text && text->KAString() ? text->KAString() : "(none)");
        std::fflush(stdout);
        delete record;
        if (++answers == kRecords) g_engine->KRNStopNet();
    }

private:
    std::atomic<bool> m_Sent{false};
};

} // namespace

int main()
{
    CKesSockEngine engine("echo_client", __KES_SERV_DAEMON, 2);
    g_engine = &engine;
    InstallStopHandlers();

    auto* client = new EchoClient(strdup("echo-client")); // owned by the engine once added
    client->KOSCSetServiceName(strdup("Echo"));
    client->KOSCSetDomain(strdup("Examples"));
    if (engine.KSEAddClient(client) != 1) {
        delete client;
        return EXIT_FAILURE;
    }
    if (client->KOSCInitialise() != 1) return EXIT_FAILURE;

    engine.KRNStartNet(); // returns once every answer is in, or on a signal
    const bool complete = client->answers.load() == kRecords;
    engine.KNSafeExit();
    std::printf("%d of %d answers\n", client->answers.load(), kRecords);
    return complete ? EXIT_SUCCESS : EXIT_FAILURE;
}
