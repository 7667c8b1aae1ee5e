#include "KesTestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

namespace ksxtest {

ErrorCapture::ErrorCapture() { CKesError::KESetListener(&ErrorCapture::OnReport, this); }

ErrorCapture::~ErrorCapture() { CKesError::KESetListener(nullptr, nullptr); }

void ErrorCapture::OnReport(int code, const char* source, int line, const char* text, void* self)
{
    auto* capture = static_cast<ErrorCapture*>(self);
    std::lock_guard<std::mutex> hold(capture->m_Lock);
    capture->m_Reports.push_back({code, source ? source : "", line, text ? text : ""});
}

std::vector<ErrorReport> ErrorCapture::Reports() const
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_Reports;
}

int ErrorCapture::Count(int code, const char* source, int line) const
{
    std::lock_guard<std::mutex> hold(m_Lock);
    int n = 0;
    for (const auto& r : m_Reports)
        n += r.code == code && (!source || r.source == source) && (line < 0 || r.line == line);
    return n;
}

int ErrorCapture::CountText(std::initializer_list<std::string> pieces, int code) const
{
    std::lock_guard<std::mutex> hold(m_Lock);
    int n = 0;
    for (const auto& r : m_Reports)
        n += (code == 0 || r.code == code) &&
             std::all_of(pieces.begin(), pieces.end(),
                         [&](const std::string& piece) { return r.text.find(piece) != std::string::npos; });
    return n;
}

void ErrorCapture::Clear()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    m_Reports.clear();
}

bool WaitUntil(const std::function<bool()>& done, int guardMs)
{
    for (int waited = 0; waited < guardMs; waited += 2) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

EventLoopThread::EventLoopThread(CKesRvNet& net)
    : m_Net(net), m_Thread([this] {
          m_Tid = gettid();
          m_Result = m_Net.KRNStartNet();
      })
{
    if (!WaitUntil([this] { return m_Net.KRNIsRunning(); })) ADD_FAILURE() << "the event loop did not start";
}

int EventLoopThread::Stop()
{
    if (m_Thread.joinable()) {
        m_Net.KRNStopNet();
        m_Thread.join();
    }
    return m_Result.load();
}

std::string ServiceLine(const std::string& service, const std::string& domain, const std::string& address,
                        int port)
{
    return "SERVICE: " + service + " DOMAIN: " + domain + " ADDRESS: " + address +
           " PORT: " + std::to_string(port) + "\n";
}

std::string KsxHome()
{
    const char* home = std::getenv("KSX_HOME");
    if (!home || !*home)
        throw std::runtime_error("KSX_HOME is not set: run the test through scripts/netns-run");
    return home;
}

std::string ServiceFilePath() { return KsxHome() + "/etc/ostravine/ServiceData.cfg"; }

void WriteServiceFile(const std::string& text) { WriteHomeFile("etc/ostravine/ServiceData.cfg", text); }

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string HostProgram(const std::string& name) { return std::string(KSX_TEST_HOST_DIR) + "/" + name; }

int RunInChild(const std::function<int()>& body, std::string* stderrText)
{
    int stream[2];
    if (pipe(stream) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(stream[0]);
        if (stderrText) dup2(stream[1], STDERR_FILENO);
        _exit(body());
    }
    close(stream[1]);
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = read(stream[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(got));
    close(stream[0]);
    int status = 0;
    if (stderrText) *stderrText = text;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string WriteHomeFile(const std::string& name, const std::string& content)
{
    const std::string path = KsxHome() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

} // namespace ksxtest
