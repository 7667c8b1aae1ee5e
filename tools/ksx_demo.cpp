// ksx_demo: shows separate daemons finding each other and talking, narrating
// each step with timestamps. It starts the daemons ksx_demo_server and
// ksx_demo_client (from its own directory) as child processes in two
// temporary installation homes:
//   home A: the server and client-A, which finds the server in the service file;
//   home B: client-B, whose service file lacks the service, so it asks over
//           multicast.
// Records go both ways, the server broadcasts to both clients, then the
// server is stopped (SIGTERM) and started again on a new port; both clients
// reconnect and records flow again. Every step is checked from the events
// the daemons print on stdout ("@event key=value ..."), read through pipes,
// and every wait has a time-out. Exit status 0 only when every step happened.
//
//   ksx_demo [--service-file PATH]
//
// PATH is the template of both homes' service files (default: the service
// file of $KSX_HOME). The demo sends multicast and opens sockets, so it runs
// only where loopback is the sole network interface (scripts/netns-run).
//
// Single-threaded; SIGINT/SIGTERM set a flag that ends the current wait.
// Every child is stopped (SIGTERM, then SIGKILL) on every way out, and is
// also sent SIGTERM by the kernel should this process die first.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CKesEnv.h"
#include "KesErrorCodes.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char* const kService = "DemoEcho";
constexpr int kRecordsFirst = 3;  // requests each client sends before the restart
constexpr int kRecordsSecond = 2; // and after it
// Generous time-outs: the library waits 2 s before greeting, 3 s between
// connect attempts and may retry multicast set-up every 5 s.
constexpr int kStartSeconds = 30;
constexpr int kConnectSeconds = 30;
constexpr int kTrafficSeconds = 15;
constexpr int kStopSeconds = 15;
constexpr int kKillSeconds = 5;

volatile sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

std::string Stamp()
{
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&seconds));
    char out[48];
    std::snprintf(out, sizeof out, "[%s.%03d]", text, static_cast<int>(millis));
    return out;
}

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...)
{
    std::printf("%s ", Stamp().c_str());
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

// ---- event lines ----------------------------------------------------------------

// The value of key in "name key=value key=value", or "".
std::string Field(const std::string& event, const std::string& key)
{
    const std::string needle = " " + key + "=";
    size_t at = event.find(needle);
    if (at == std::string::npos) return "";
    at += needle.size();
    return event.substr(at, event.find(' ', at) - at);
}

// True when event is text, or text followed by more fields.
bool IsEvent(const std::string& event, const std::string& text)
{
    return event.compare(0, text.size(), text) == 0 &&
           (event.size() == text.size() || event[text.size()] == ' ');
}

std::string PortOf(const std::string& address)
{
    size_t colon = address.rfind(':');
    return colon == std::string::npos ? "" : address.substr(colon + 1);
}

// ---- daemons --------------------------------------------------------------------

// One child daemon: its pipes, what it has printed and how it ended.
struct Daemon {
    std::string name;
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
    std::string outPending, errPending;
    std::vector<std::string> events; // stdout lines starting with '@', without it
    std::vector<std::string> traces; // other stdout lines (library traces)
    bool expectRunning = false;      // a death now is a failure
    bool reaped = false;
    int status = 0;

    bool Running() const { return pid > 0 && !reaped; }
    size_t Mark() const { return events.size(); }
    // The first event since mark that is text (or starts with text and a blank).
    const std::string* Find(const std::string& text, size_t mark = 0) const
    {
        for (size_t i = mark; i < events.size(); ++i)
            if (IsEvent(events[i], text)) return &events[i];
        return nullptr;
    }
    bool Has(const std::string& text, size_t mark = 0) const { return Find(text, mark) != nullptr; }
    bool TraceHas(const std::string& text) const
    {
        for (const std::string& line : traces)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    bool ExitedCleanly() const { return reaped && WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

void CloseFd(int& fd)
{
    if (fd >= 0) close(fd);
    fd = -1;
}

class Demo {
public:
    explicit Demo(std::string programDir) : m_ProgramDir(std::move(programDir)) {}
    ~Demo() { StopAll(); }

    Daemon* Start(const std::string& name, const std::string& program, const std::string& home,
                  const std::vector<std::string>& args, const char* debugLevel);
    void Send(Daemon* daemon, const std::string& command);
    void Signal(Daemon* daemon, int signal);
    // Pumps output until done() holds (true), the time runs out, a daemon
    // dies unexpectedly or the demo is interrupted (false).
    bool WaitFor(const std::function<bool()>& done, int seconds);
    bool WaitExit(Daemon* daemon, int seconds);
    // SIGTERM to every running daemon, SIGKILL to those that linger.
    void StopAll();

private:
    void Pump(int timeoutMs);
    void ReadFrom(Daemon& daemon, int& fd, std::string& pending, bool isErr);
    void OnLine(Daemon& daemon, const std::string& line, bool isErr);
    void ReapExited();

    std::string m_ProgramDir;
    std::vector<std::unique_ptr<Daemon>> m_Daemons;
};

Daemon* Demo::Start(const std::string& name, const std::string& program, const std::string& home,
                    const std::vector<std::string>& args, const char* debugLevel)
{
    int pipes[6]; // stdin, stdout, stderr: read end, write end each
    int made = 0;
    while (made < 3 && pipe2(pipes + 2 * made, O_CLOEXEC) == 0) ++made;
    if (made < 3) {
        for (int i = 0; i < 2 * made; ++i) close(pipes[i]);
        return nullptr;
    }
    int* in = pipes;
    int* out = pipes + 2;
    int* err = pipes + 4;
    const std::string path = m_ProgramDir + "/" + program;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Child: end with the demo, whatever way it ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        signal(SIGPIPE, SIG_DFL);
        setenv("KSX_HOME", home.c_str(), 1);
        setenv("KSX_DEBUG_LEVEL", debugLevel, 1);
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", path.c_str(), std::strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return nullptr;
    }
    auto daemon = std::make_unique<Daemon>();
    daemon->name = name;
    daemon->pid = pid;
    daemon->in = in[1];
    daemon->out = out[0];
    daemon->err = err[0];
    daemon->expectRunning = true;
    m_Daemons.push_back(std::move(daemon));
    Say("started %s (pid %d, KSX_HOME=%s)", name.c_str(), static_cast<int>(pid), home.c_str());
    return m_Daemons.back().get();
}

void Demo::Send(Daemon* daemon, const std::string& command)
{
    Say("-> %s: %s", daemon->name.c_str(), command.c_str());
    const std::string line = command + "\n";
    if (daemon->in < 0 || write(daemon->in, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        Say("   could not write to %s", daemon->name.c_str());
}

void Demo::Signal(Daemon* daemon, int signal)
{
    daemon->expectRunning = false;
    if (daemon->Running()) kill(daemon->pid, signal);
}

void Demo::OnLine(Daemon& daemon, const std::string& line, bool isErr)
{
    std::printf("%s %14s %s %s\n", Stamp().c_str(), daemon.name.c_str(), isErr ? "!" : "|", line.c_str());
    std::fflush(stdout);
    if (isErr) return;
    if (!line.empty() && line[0] == '@')
        daemon.events.push_back(line.substr(1));
    else
        daemon.traces.push_back(line);
}

void Demo::ReadFrom(Daemon& daemon, int& fd, std::string& pending, bool isErr)
{
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) return;
    if (got <= 0) {
        CloseFd(fd);
        if (!pending.empty()) OnLine(daemon, pending, isErr);
        pending.clear();
        return;
    }
    pending.append(buffer, static_cast<size_t>(got));
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
        OnLine(daemon, pending.substr(0, end), isErr);
}

void Demo::ReapExited()
{
    for (auto& daemon : m_Daemons) {
        if (!daemon->Running() || waitpid(daemon->pid, &daemon->status, WNOHANG) != daemon->pid) continue;
        daemon->reaped = true;
        CloseFd(daemon->in);
        if (WIFEXITED(daemon->status))
            Say("%s exited with status %d", daemon->name.c_str(), WEXITSTATUS(daemon->status));
        else
            Say("%s ended by signal %d", daemon->name.c_str(), WTERMSIG(daemon->status));
    }
}

void Demo::Pump(int timeoutMs)
{
    std::vector<pollfd> fds;
    std::vector<std::pair<Daemon*, bool>> owners; // daemon, is its stderr
    for (auto& daemon : m_Daemons) {
        if (daemon->out >= 0)
            fds.push_back({daemon->out, POLLIN, 0}), owners.emplace_back(daemon.get(), false);
        if (daemon->err >= 0)
            fds.push_back({daemon->err, POLLIN, 0}), owners.emplace_back(daemon.get(), true);
    }
    if (poll(fds.data(), fds.size(), timeoutMs) > 0) {
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            Daemon& daemon = *owners[i].first;
            if (owners[i].second)
                ReadFrom(daemon, daemon.err, daemon.errPending, true);
            else
                ReadFrom(daemon, daemon.out, daemon.outPending, false);
        }
    }
    ReapExited();
}

bool Demo::WaitFor(const std::function<bool()>& done, int seconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (g_interrupted) {
            Say("interrupted");
            return false;
        }
        for (auto& daemon : m_Daemons) {
            if (daemon->expectRunning && daemon->reaped) {
                Say("%s is no longer running", daemon->name.c_str());
                return false;
            }
        }
        if (Clock::now() >= deadline) {
            Say("no result after %d s", seconds);
            return false;
        }
        Pump(100);
    }
    return true;
}

bool Demo::WaitExit(Daemon* daemon, int seconds)
{
    // Output first: the pipes close when the daemon has gone.
    return WaitFor([daemon] { return daemon->reaped && daemon->out < 0 && daemon->err < 0; }, seconds);
}

void Demo::StopAll()
{
    for (auto& daemon : m_Daemons) {
        CloseFd(daemon->in);
        Signal(daemon.get(), SIGTERM);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(kKillSeconds);
    auto anyRunning = [this] {
        for (auto& daemon : m_Daemons)
            if (daemon->Running()) return true;
        return false;
    };
    while (anyRunning() && Clock::now() < deadline) Pump(50);
    for (auto& daemon : m_Daemons) {
        if (daemon->Running()) {
            Say("%s did not stop; killing it", daemon->name.c_str());
            kill(daemon->pid, SIGKILL);
            waitpid(daemon->pid, &daemon->status, 0);
            daemon->reaped = true;
        }
        CloseFd(daemon->out);
        CloseFd(daemon->err);
    }
}

// ---- homes and service files --------------------------------------------------

std::string ServiceFileOf(const std::string& home) { return CKesEnv::KEServiceFilePath(home); }

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The demo service's line in the file, or "" when it has none.
std::string ServiceLine(const std::string& home)
{
    std::istringstream text(ReadText(ServiceFileOf(home)));
    for (std::string line; std::getline(text, line);)
        if (line.find(std::string("SERVICE: ") + kService + " ") != std::string::npos) return line;
    return "";
}

void ShowServiceFile(const std::string& label, const std::string& home)
{
    Say("service file of %s (%s):", label.c_str(), ServiceFileOf(home).c_str());
    std::istringstream text(ReadText(ServiceFileOf(home)));
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::printf("               | %s\n", line.c_str());
    }
    std::fflush(stdout);
}

bool MakeHome(const std::string& home, const std::string& templateFile)
{
    std::error_code error;
    fs::create_directories(fs::path(ServiceFileOf(home)).parent_path(), error);
    if (error) return false;
    return fs::copy_file(templateFile, ServiceFileOf(home), fs::copy_options::overwrite_existing, error) &&
           !error;
}

// Network interfaces other than loopback in this process's network namespace
// (/proc/self/net/dev follows the namespace; /sys may be the host's).
std::vector<std::string> OtherInterfaces()
{
    std::vector<std::string> names;
    std::istringstream text(ReadText("/proc/self/net/dev"));
    for (std::string line; std::getline(text, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue; // the two header lines
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        if (name != "lo") names.push_back(name);
    }
    return names;
}

// Removes the temporary homes on every way out.
struct TempDir {
    std::string path;
    ~TempDir()
    {
        std::error_code error;
        if (!path.empty()) fs::remove_all(path, error);
    }
};

// ---- the steps --------------------------------------------------------------------

class Scenario {
public:
    Scenario(Demo& demo, std::string homeA, std::string homeB)
        : m_Demo(demo), m_HomeA(std::move(homeA)), m_HomeB(std::move(homeB))
    {
    }
    // Runs the steps in order until one fails; returns the number that happened.
    int Run();
    static constexpr int ms_Steps = 10;

private:
    bool Step(int number, const char* what, bool (Scenario::*body)());
    bool PublishServer();
    bool ConnectThroughFile();
    bool ConnectThroughMulticast();
    bool RecordsBothWays();
    bool BroadcastReachesBoth();
    bool StopServer();
    bool RestartServer();
    bool ClientsReconnect();
    bool TrafficAgain();
    bool ShutDown();

    bool StartServer();
    bool Exchange(int firstSeq, int count, int broadcastSeq);
    bool Check(bool ok, const char* what);

    Demo& m_Demo;
    std::string m_HomeA, m_HomeB;
    Daemon* m_Server = nullptr;
    Daemon* m_ClientA = nullptr;
    Daemon* m_ClientB = nullptr;
    std::string m_Port;      // the running server's port
    std::string m_FirstPort; // its port before the restart
    size_t m_StopMarkA = 0, m_StopMarkB = 0;
};

bool Scenario::Check(bool ok, const char* what)
{
    Say("   %s %s", ok ? "ok:  " : "FAIL:", what);
    return ok;
}

bool Scenario::Step(int number, const char* what, bool (Scenario::*body)())
{
    std::printf("\n");
    Say("== step %d of %d: %s", number, ms_Steps, what);
    const bool ok = (this->*body)();
    Say("== step %d %s", number, ok ? "happened" : "FAILED");
    return ok;
}

int Scenario::Run()
{
    struct Entry {
        const char* what;
        bool (Scenario::*body)();
    };
    const Entry steps[ms_Steps] = {
        {"a server of DemoEcho starts in home A and publishes its line", &Scenario::PublishServer},
        {"client-A (home A) finds the server through the service file", &Scenario::ConnectThroughFile},
        {"client-B (home B, no DemoEcho line) finds the server over multicast",
         &Scenario::ConnectThroughMulticast},
        {"records go from each client to the server and answers come back", &Scenario::RecordsBothWays},
        {"a broadcast from the server reaches both clients", &Scenario::BroadcastReachesBoth},
        {"the server is stopped with SIGTERM and withdraws its line", &Scenario::StopServer},
        {"the server starts again on a new port", &Scenario::RestartServer},
        {"both clients notice and reconnect to the new server", &Scenario::ClientsReconnect},
        {"records and a broadcast flow again", &Scenario::TrafficAgain},
        {"every daemon stops cleanly", &Scenario::ShutDown},
    };
    for (int i = 0; i < ms_Steps; ++i)
        if (!Step(i + 1, steps[i].what, steps[i].body)) return i;
    return ms_Steps;
}

bool Scenario::StartServer()
{
    m_Server = m_Demo.Start("server", "ksx_demo_server", m_HomeA, {}, "0");
    if (!Check(m_Server != nullptr, "server process started")) return false;
    Daemon* server = m_Server;
    if (!Check(m_Demo.WaitFor([server] { return server->Has("serving"); }, kStartSeconds),
               "server reports that it serves"))
        return false;
    m_Port = Field(*server->Find("serving"), "port");
    Say("   the server listens on %s:%s", Field(*server->Find("serving"), "address").c_str(), m_Port.c_str());
    const std::string line = ServiceLine(m_HomeA);
    return Check(line.find("PORT: " + m_Port + " ") != std::string::npos,
                 "home A's service file names the server's port");
}

bool Scenario::PublishServer()
{
    ShowServiceFile("home A before the server starts", m_HomeA);
    if (!Check(ServiceLine(m_HomeA).empty(), "home A's service file has no DemoEcho line yet")) return false;
    if (!StartServer()) return false;
    ShowServiceFile("home A after publishing", m_HomeA);
    return true;
}

bool Scenario::ConnectThroughFile()
{
    Say("client-A reads its service file, connects, and greets the server with its id after the 2 s pause");
    const size_t mark = m_Server->Mark();
    m_ClientA = m_Demo.Start("client-A", "ksx_demo_client", m_HomeA, {"client-A"}, "1");
    if (!Check(m_ClientA != nullptr, "client-A process started")) return false;
    Daemon* client = m_ClientA;
    Daemon* server = m_Server;
    bool up = m_Demo.WaitFor(
        [&] { return client->Has("connected") && server->Has("client-connected id=client-A", mark); },
        kConnectSeconds);
    if (!Check(up, "client-A connected and the server saw it identify itself")) return false;
    const std::string reached = Field(*client->Find("connected"), "server");
    if (!Check(PortOf(reached) == m_Port, "client-A reached the server's published port")) return false;
    return Check(!client->TraceHas("sending Address Req"), "client-A sent no multicast address request");
}

bool Scenario::ConnectThroughMulticast()
{
    ShowServiceFile("home B", m_HomeB);
    if (!Check(ServiceLine(m_HomeB).empty(), "home B's service file has no DemoEcho line")) return false;
    Say("client-B finds no line, so it asks the multicast group; the server's engine answers with the");
    Say("server's address, and client-B connects on its next attempt 3 s later, greeting 2 s after that");
    const size_t mark = m_Server->Mark();
    m_ClientB = m_Demo.Start("client-B", "ksx_demo_client", m_HomeB, {"client-B"}, "1");
    if (!Check(m_ClientB != nullptr, "client-B process started")) return false;
    Daemon* client = m_ClientB;
    Daemon* server = m_Server;
    bool up = m_Demo.WaitFor(
        [&] { return client->Has("connected") && server->Has("client-connected id=client-B", mark); },
        kConnectSeconds);
    if (!Check(up, "client-B connected and the server saw it identify itself")) return false;
    const std::string reached = Field(*client->Find("connected"), "server");
    if (!Check(PortOf(reached) == m_Port, "client-B reached the server's port")) return false;
    if (!Check(client->TraceHas("sending Address Req"), "client-B asked for the address over multicast"))
        return false;
    return Check(ServiceLine(m_HomeB).empty(), "home B's service file still has no DemoEcho line");
}

// Each client sends count requests numbered from firstSeq; every one must
// reach the server and come back as an answer. Then, when broadcastSeq > 0,
// the server broadcasts once and both clients must receive it.
bool Scenario::Exchange(int firstSeq, int count, int broadcastSeq)
{
    const size_t serverMark = m_Server->Mark();
    const size_t markA = m_ClientA->Mark(), markB = m_ClientB->Mark();
    if (count > 0) {
        m_Demo.Send(m_ClientA, "send " + std::to_string(count));
        m_Demo.Send(m_ClientB, "send " + std::to_string(count));
        auto allThrough = [&] {
            for (int seq = firstSeq; seq < firstSeq + count; ++seq) {
                const std::string s = std::to_string(seq);
                if (!m_Server->Has("received from=client-A seq=" + s, serverMark)) return false;
                if (!m_Server->Has("received from=client-B seq=" + s, serverMark)) return false;
                if (!m_ClientA->Has("answer seq=" + s, markA) || !m_ClientB->Has("answer seq=" + s, markB))
                    return false;
            }
            return true;
        };
        if (!Check(m_Demo.WaitFor(allThrough, kTrafficSeconds),
                   "the server received every request and each client got every answer"))
            return false;
    }
    if (broadcastSeq <= 0) return true;
    const std::string news = "broadcast seq=" + std::to_string(broadcastSeq);
    m_Demo.Send(m_Server, "broadcast " + std::to_string(broadcastSeq));
    return Check(m_Demo.WaitFor([&] { return m_ClientA->Has(news, markA) && m_ClientB->Has(news, markB); },
                                kTrafficSeconds),
                 "both clients received the broadcast");
}

bool Scenario::RecordsBothWays() { return Exchange(1, kRecordsFirst, 0); }

bool Scenario::BroadcastReachesBoth() { return Exchange(0, 0, 1); }

bool Scenario::StopServer()
{
    m_StopMarkA = m_ClientA->Mark();
    m_StopMarkB = m_ClientB->Mark();
    Say("sending SIGTERM to the server (its handler calls KRNStopNet; KNSafeExit follows)");
    m_Demo.Signal(m_Server, SIGTERM);
    if (!Check(m_Demo.WaitExit(m_Server, kStopSeconds), "the server exited")) return false;
    if (!Check(m_Server->ExitedCleanly() && m_Server->Has("withdrawn"),
               "it withdrew its service and exited with 0"))
        return false;
    ShowServiceFile("home A after the stop", m_HomeA);
    return Check(ServiceLine(m_HomeA).empty(), "home A's service file has no DemoEcho line any more");
}

bool Scenario::RestartServer()
{
    m_FirstPort = m_Port;
    if (!StartServer()) return false;
    ShowServiceFile("home A after the restart", m_HomeA);
    if (m_Port != m_FirstPort)
        Say("   the port changed from %s to %s", m_FirstPort.c_str(), m_Port.c_str());
    else
        Say("   the system happened to hand out port %s again", m_Port.c_str());
    return true;
}

bool Scenario::ClientsReconnect()
{
    Daemon* a = m_ClientA;
    Daemon* b = m_ClientB;
    Daemon* server = m_Server;
    const size_t markA = m_StopMarkA, markB = m_StopMarkB;
    Say("each client tries again every 3 s; a client that was in its 10 s keep-alive pause when the server");
    Say("went finishes that pause first, and its keep-alive on the lost connection is reported (KSX-ERROR "
        "KES_ERR_SEND)");
    auto reconnected = [&] {
        return a->Has("connected", markA) && b->Has("connected", markB) &&
               server->Has("client-connected id=client-A") && server->Has("client-connected id=client-B");
    };
    if (!Check(m_Demo.WaitFor([&] { return a->Has("disconnected", markA) && b->Has("disconnected", markB); },
                              kStopSeconds),
               "both clients noticed that the server had gone"))
        return false;
    if (!Check(m_Demo.WaitFor(reconnected, kConnectSeconds),
               "both clients connected and identified themselves again"))
        return false;
    const std::string portA = PortOf(Field(*a->Find("connected", markA), "server"));
    const std::string portB = PortOf(Field(*b->Find("connected", markB), "server"));
    return Check(portA == m_Port && portB == m_Port, "both reached the new server's port");
}

bool Scenario::TrafficAgain() { return Exchange(kRecordsFirst + 1, kRecordsSecond, 2); }

bool Scenario::ShutDown()
{
    bool ok = true;
    for (Daemon* daemon : {m_ClientA, m_ClientB, m_Server}) {
        m_Demo.Signal(daemon, SIGTERM);
        ok = Check(m_Demo.WaitExit(daemon, kStopSeconds) && daemon->ExitedCleanly(),
                   (daemon->name + " stopped on SIGTERM with status 0").c_str()) &&
             ok;
    }
    ShowServiceFile("home A at the end", m_HomeA);
    return Check(ServiceLine(m_HomeA).empty(), "home A's service file is back to its shipped content") && ok;
}

// ---- main -----------------------------------------------------------------------

std::string ProgramDir()
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? "." : self.parent_path().string();
}

std::string TemplateFile(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--service-file") == 0) return argv[2];
    if (argc != 1) return "";
    const char* home = std::getenv("KSX_HOME");
    return home ? ServiceFileOf(home) : "";
}

void InstallHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN); // a daemon that died must not take the demo with it
}

} // namespace

int main(int argc, char** argv)
{
    const std::string templateFile = TemplateFile(argc, argv);
    if (templateFile.empty()) {
        std::fprintf(stderr, "usage: ksx_demo [--service-file PATH]  (default: $KSX_HOME's service file)\n");
        return 2;
    }
    if (!fs::is_regular_file(templateFile)) {
        std::fprintf(stderr, "ksx_demo: no service file at %s\n", templateFile.c_str());
        return 2;
    }
    const std::vector<std::string> others = OtherInterfaces();
    if (!others.empty()) {
        std::fprintf(stderr,
                     "ksx_demo: this system has network interfaces besides loopback (%s...); the demo sends "
                     "multicast, so run it inside its own namespace: bash scripts/demo.sh\n",
                     others.front().c_str());
        return 2;
    }
    InstallHandlers();

    TempDir root;
    std::string pattern =
        std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/ksx-demo.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::fprintf(stderr, "ksx_demo: cannot make a temporary directory: %s\n", std::strerror(errno));
        return 1;
    }
    root.path = pattern;
    const std::string homeA = root.path + "/homeA", homeB = root.path + "/homeB";
    if (!MakeHome(homeA, templateFile) || !MakeHome(homeB, templateFile)) {
        std::fprintf(stderr, "ksx_demo: cannot make the installation homes under %s\n", root.path.c_str());
        return 1;
    }

    Say("KSXComms demo: one server, two clients in two installation homes, on loopback only");
    Say("home A: %s   home B: %s   (service files copied from %s)", homeA.c_str(), homeB.c_str(),
        templateFile.c_str());
    const auto began = Clock::now();
    int happened = 0;
    {
        Demo demo(ProgramDir());
        Scenario scenario(demo, homeA, homeB);
        happened = scenario.Run();
    } // every daemon is stopped here
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    std::printf("\n");
    if (happened == Scenario::ms_Steps) {
        Say("summary: all %d steps happened in %.1f s", Scenario::ms_Steps, seconds);
        return 0;
    }
    Say("summary: FAILED at step %d of %d after %.1f s", happened + 1, Scenario::ms_Steps, seconds);
    return 1;
}
