// A host program (tests/hosts/<name>) started as a separate process with its
// standard input and output on pipes; it keeps every line the program printed
// so that a test can wait for lines and count them at the end. Made, used and
// destroyed by one test thread; the destructor kills a program still running.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace ksxtest {

// How long a daemon step may take before the test gives up on it.
constexpr int kDaemonGuardMs = 40000;

class Daemon {
public:
    // Runs the host program with KSX_HOME=home and KSX_TIME_SCALE=timeScale
    // ("" runs it at the production delays); withStderr reads standard error
    // along with standard output.
    Daemon(const std::string& name, const std::vector<std::string>& args, const std::string& home,
           const std::string& timeScale, bool withStderr = false);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The next line starting with prefix after the last one returned for that
    // prefix (lines of other prefixes may come in any order), or "" when the
    // daemon ended or the guard ran out.
    std::string WaitForLine(const std::string& prefix);
    void Write(const std::string& line);
    // Ends the daemon at once, without any clean-up of its own.
    void Kill();
    // Closes standard input, reads the output to its end and returns the exit
    // status (-1 when the daemon does not exit by itself in time).
    int Finish();
    // How often the daemon printed exactly this line so far.
    int Count(const std::string& line) const;
    // How many lines so far contain this text.
    int CountContaining(const std::string& text) const;
    // Everything printed so far, one line each.
    std::string Output() const;
    // Keeps reading the output for ms, so that a daemon that prints much
    // never blocks on a full pipe meanwhile.
    void Drain(int ms);
    pid_t Pid() const { return m_Pid; }

private:
    // Waits up to ms for output and splits it into lines; false at its end.
    bool ReadSome(int ms);

    pid_t m_Pid = -1;
    int m_In = -1;
    int m_Out = -1;
    std::string m_Partial;
    std::vector<std::string> m_Lines;
    std::map<std::string, size_t> m_Next; // prefix -> first line not yet looked at
};

// A fresh installation home under the test's KSX_HOME whose service file
// holds the given text; returns its path.
std::string MakeHome(const std::string& name, const std::string& serviceFile);

} // namespace ksxtest
