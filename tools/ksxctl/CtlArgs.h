// CtlArgs: the command line of one ksxctl command: its options (--name VALUE,
// --name=VALUE or a flag), its positional words and --help.
// Created on the stack by each command's runner and destroyed with it.
// Threads: the main thread only. Locks: none.
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

struct CtlOption {
    const char* name; // without the leading "--"
    bool takesValue;  // false: a flag
};

class CtlArgs {
public:
    // Reads argv[first..argc). Empty result on success, otherwise the one
    // line that says what is wrong (unknown option, missing value).
    std::string Parse(int argc, char** argv, int first, std::initializer_list<CtlOption> options);

    bool Help() const { return m_Help; }
    bool Has(const std::string& name) const { return m_Values.count(name) != 0; }
    // The option's value, or fallback when it was not given.
    std::string Value(const std::string& name, const std::string& fallback = "") const;
    const std::vector<std::string>& Positional() const { return m_Positional; }

    // Option values as numbers. Empty result on success (value stored, or
    // fallback when the option is absent), else the error line.
    std::string Seconds(const std::string& name, double fallback, double* seconds) const;
    std::string Count(const std::string& name, int fallback, int* count) const;

private:
    const CtlOption* Find(const std::string& name) const;

    std::vector<CtlOption> m_Options;            // what this command accepts
    std::map<std::string, std::string> m_Values; // given options ("" for flags)
    std::vector<std::string> m_Positional;       // words that are no option
    bool m_Help = false;                         // --help or -h was given
};
