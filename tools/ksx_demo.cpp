// ksx_demo: one daemon that offers a service and uses it, narrating each step.
// It constructs an engine, registers an echo server and a client of it, runs
// the event loop while the client finds the server through the service file,
// sends records and gets them echoed back, then stops the server (its line
// leaves the service file) and destroys the engine. Exit status 0 only when
// every step happened. Run it inside scripts/netns-run.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"

namespace {

const char* const kService = "DemoEcho";
const char* const kDomain = "Demo";
constexpr int kRecords = 5;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    int millis = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&seconds));
    std::printf("[%s.%03d] ", stamp, millis);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

std::string ServiceFile() {
    const char* home = std::getenv("KSX_HOME");
    return std::string(home ? home : "/opt/ksx") + "/etc/ostravine/ServiceData.cfg";
}

void ShowServiceFile() {
    std::ifstream in(ServiceFile());
    std::string line;
    Say("service file %s:", ServiceFile().c_str());
    while (std::getline(in, line)) std::printf("      | %s\n", line.c_str());
    std::fflush(stdout);
}

bool ServiceFileNames(const char* service) {
    std::ifstream in(ServiceFile());
    std::stringstream text;
    text << in.rdbuf();
    return text.str().find(std::string("SERVICE: ") + service + " ") != std::string::npos;
}

// Answers every record with the same record.
class EchoServer : public CKesObjSockServer {
public:
    std::atomic<int> connects{0};
    std::atomic<int> echoed{0};
    void KOSSOnClientConnect(CKesSockEnd* client) override {
        ++connects;
        Say("server: client \"%s\" identified itself", client->KSEGetEndPointName());
    }
    void KesOnServerIO(CKesSockEnd* client, CKesRecord* record) override {
        if (KOSSSendToClient(client->KSEGetEndPointName(), record) == 1) ++echoed;
        delete record;
    }
};

// Counts what comes back.
class DemoClient : public CKesObjSockClient {
public:
    using CKesObjSockClient::CKesObjSockClient;
    std::atomic<int> connects{0};
    std::atomic<int> received{0};
    void KOSCOnClientConnect() override {
        ++connects;
        Say("client: connected to its server");
    }
    void KesOnClientIO(CKesSockEnd*, CKesRecord* record) override {
        CKesAtom* seq = record->KRValueOf("seq");
        Say("client: got back record seq=%d", seq ? seq->KAInt() : -1);
        ++received;
        delete record;
    }
};

template <typename Done>
bool WaitFor(Done done, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

int Check(bool ok, const char* step, int* failures) {
    Say("%s: %s", ok ? "ok  " : "FAIL", step);
    if (!ok) ++*failures;
    return ok;
}

}  // namespace

int main() {
    int failures = 0;
    Say("constructing the socket engine (it joins the multicast group of the service file)");
    auto* engine = new CKesSockEngine("ksx_demo", __KES_SERV_DAEMON, 2);

    auto* server = new EchoServer();
    server->KOSSSetServiceName(strdup(kService));
    server->KOSSSetDomain(strdup(kDomain));
    Check(engine->KSEAddServer(server) == 1, "server registered with the engine", &failures);
    Check(server->KOSSInitialise() == 1, "server bound a system-chosen port and accepts", &failures);
    Check(ServiceFileNames(kService), "server published its line in the service file", &failures);
    ShowServiceFile();

    auto* client = new DemoClient(strdup("demo-client-1"));
    client->KOSCSetServiceName(strdup(kService));
    client->KOSCSetDomain(strdup(kDomain));
    Check(engine->KSEAddClient(client) == 1, "client registered with the engine", &failures);
    Check(client->KOSCInitialise() == 1, "client started its connect thread", &failures);

    Say("running the event loop");
    std::thread loop([engine] { engine->KRNStartNet(); });

    Check(WaitFor([&] { return server->connects.load() == 1 && client->connects.load() == 1; }, 15),
          "client found the server through the service file and greeted it", &failures);
    for (int i = 1; i <= kRecords; ++i) {
        CKesRecord record;
        record.KRAddValue("text", "hello from the demo");
        record.KRAddValue("seq", CKesAtom(i));
        client->KOSCSendToServer(&record);
    }
    Check(WaitFor([&] { return client->received.load() == kRecords; }, 10), "every record came back", &failures);

    Say("stopping: KNSafeExit terminates the server and withdraws its line");
    engine->KNSafeExit();
    Check(!ServiceFileNames(kService), "server's line left the service file", &failures);
    ShowServiceFile();

    engine->KRNStopNet();
    loop.join();
    delete engine;
    Say("engine destroyed");
    Say("summary: %s (%d step%s failed)", failures ? "FAILED" : "all steps happened", failures, failures == 1 ? "" : "s");
    return failures ? 1 : 0;
}
