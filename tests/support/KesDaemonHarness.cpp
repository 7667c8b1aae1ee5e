#include "KesDaemonHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace ksxtest {

Daemon::Daemon(const std::string& name, const std::vector<std::string>& args, const std::string& home,
               const std::string& timeScale, bool withStderr)
{
    int in[2], out[2];
    // Close-on-exec: a daemon started later must not hold this one's pipes.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipes for " + name);
    const std::string program = HostProgram(name);
    m_Pid = fork();
    if (m_Pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (withStderr) dup2(out[1], 2);
        setenv("KSX_HOME", home.c_str(), 1);
        timeScale.empty() ? unsetenv("KSX_TIME_SCALE") : setenv("KSX_TIME_SCALE", timeScale.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]), close(out[1]);
    m_In = in[1], m_Out = out[0];
}

Daemon::~Daemon()
{
    Kill();
    if (m_In >= 0) close(m_In);
    close(m_Out);
}

std::string Daemon::WaitForLine(const std::string& prefix)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDaemonGuardMs);
    size_t& next = m_Next[prefix];
    for (;;) {
        for (; next < m_Lines.size(); ++next)
            if (m_Lines[next].rfind(prefix, 0) == 0) return m_Lines[next++];
        if (std::chrono::steady_clock::now() >= deadline || !ReadSome(100)) return "";
    }
}

void Daemon::Write(const std::string& line)
{
    const std::string text = line + "\n";
    if (write(m_In, text.data(), text.size()) != ssize_t(text.size()))
        ADD_FAILURE() << "could not write \"" << line << "\" to the daemon";
}

void Daemon::Kill()
{
    if (m_Pid <= 0) return;
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
    m_Pid = -1;
}

int Daemon::Finish()
{
    close(std::exchange(m_In, -1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDaemonGuardMs);
    while (std::chrono::steady_clock::now() < deadline && ReadSome(100)) {}
    int status = -1;
    while (waitpid(m_Pid, &status, WNOHANG) != m_Pid) {
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_Pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Daemon::Count(const std::string& line) const { return int(std::ranges::count(m_Lines, line)); }

int Daemon::CountContaining(const std::string& text) const
{
    return int(std::ranges::count_if(
        m_Lines, [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

std::string Daemon::Output() const
{
    std::string all;
    for (const std::string& line : m_Lines) all += line + "\n";
    return all;
}

void Daemon::Drain(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end && ReadSome(10)) {}
}

bool Daemon::ReadSome(int ms)
{
    if (!Readable(m_Out, ms)) return true;
    char chunk[512];
    const ssize_t got = read(m_Out, chunk, sizeof chunk);
    if (got <= 0) return false;
    m_Partial.append(chunk, size_t(got));
    for (size_t end; (end = m_Partial.find('\n')) != std::string::npos; m_Partial.erase(0, end + 1))
        m_Lines.push_back(m_Partial.substr(0, end));
    return true;
}

std::string MakeHome(const std::string& name, const std::string& serviceFile)
{
    const std::string home = KsxHome() + "/" + name;
    for (const char* dir : {"", "/etc", "/etc/ostravine"}) mkdir((home + dir).c_str(), 0755);
    std::ofstream(home + "/etc/ostravine/ServiceData.cfg", std::ios::binary | std::ios::trunc) << serviceFile;
    return home;
}

} // namespace ksxtest
