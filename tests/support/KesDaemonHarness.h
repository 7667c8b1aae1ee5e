// A host program (tests/hosts/<name>) in its own process, standard input and output on pipes; keeps
// every printed line for waiting and counting. One test thread's; the destructor kills it.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace ksxtest {

constexpr int kDaemonGuardMs = 40000;

class Daemon {
public:
    // KSX_HOME=home, KSX_TIME_SCALE=timeScale ("": production delays); withStderr reads stderr too.
    Daemon(const std::string& name, const std::vector<std::string>& args, const std::string& home,
           const std::string& timeScale, bool withStderr = false);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The next line with this prefix after the last one returned for it; "" at the end or the guard.
    std::string WaitForLine(const std::string& prefix);
    void Write(const std::string& line);
    void Kill(); // SIGKILL: no clean-up of its own
    // Closes standard input, reads to the end; the exit status, -1 when it does not exit in time.
    int Finish();
    int Count(const std::string& line) const; // lines equal to line
    int CountContaining(const std::string& text) const;
    std::string Output() const;
    void Drain(int ms); // reads for ms, so that a busy printer never blocks on a full pipe
    pid_t Pid() const { return m_Pid; }

private:
    bool ReadSome(int ms);

    pid_t m_Pid = -1;
    int m_In = -1, m_Out = -1;
    std::string m_Partial;
    std::vector<std::string> m_Lines;
    std::map<std::string, size_t> m_Next; // prefix -> first line not yet looked at
};

// A fresh installation home under the test's KSX_HOME with this service file; its path.
std::string MakeHome(const std::string& name, const std::string& serviceFile);

} // namespace ksxtest
