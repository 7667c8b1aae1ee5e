#include "CtlArgs.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

std::string CtlArgs::Parse(int argc, char** argv, int first, std::initializer_list<CtlOption> options)
{
    m_Options.assign(options.begin(), options.end());
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            m_Positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "--help" || word == "-h") {
            m_Help = true;
            continue;
        }
        if (word.rfind("--", 0) != 0) return "unknown option " + word;
        std::string name = word.substr(2);
        std::string value;
        bool inlineValue = false;
        if (size_t equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            inlineValue = true;
        }
        const CtlOption* option = Find(name);
        if (!option) return "unknown option --" + name;
        if (!option->takesValue && inlineValue) return "option --" + name + " takes no value";
        if (option->takesValue && !inlineValue) {
            if (i + 1 >= argc) return "option --" + name + " needs a value";
            value = argv[++i];
        }
        m_Values[name] = value;
    }
    return "";
}

std::string CtlArgs::Value(const std::string& name, const std::string& fallback) const
{
    auto found = m_Values.find(name);
    return found == m_Values.end() ? fallback : found->second;
}

std::string CtlArgs::Seconds(const std::string& name, double fallback, double* seconds) const
{
    *seconds = fallback;
    if (!Has(name)) return "";
    const std::string text = Value(name);
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    // A day is far beyond any sensible wait and keeps deadlines finite.
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0 || value > 86400)
        return "--" + name + " wants a number of seconds above 0 (at most 86400), not '" + text + "'";
    *seconds = value;
    return "";
}

std::string CtlArgs::Count(const std::string& name, int fallback, int* count) const
{
    *count = fallback;
    if (!Has(name)) return "";
    const std::string text = Value(name);
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > 1000000000)
        return "--" + name + " wants a whole number of at least 1, not '" + text + "'";
    *count = static_cast<int>(value);
    return "";
}

const CtlOption* CtlArgs::Find(const std::string& name) const
{
    for (const CtlOption& option : m_Options)
        if (name == option.name) return &option;
    return nullptr;
}
