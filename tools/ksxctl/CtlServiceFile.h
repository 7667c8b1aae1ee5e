// CtlServiceFile: one service file as the operator tool sees it: read with
// the library's parser (its syntax report captured, not printed), its entries
// copied out sorted by domain then service, and a second look at the words
// that finds values the syntax lets through but that do not work.
// Created on the stack by a command and destroyed with it.
// Threads: the main thread, before any engine exists (the parse diverts the
// process's standard output and error for its duration). Locks: none of its
// own; the parser takes its data lock inside the library.
#pragma once

#include <string>
#include <vector>

class CKesServiceDataParser;

struct CtlEntry {
    std::string service;
    std::string domain;
    std::string address; // dotted text as the library reads it back
    unsigned int port = 0;
    std::string server; // "" when the entry has no SERVERNAME
    bool dynamic = true;
};

// One remark about a valid file, tied to its line.
struct CtlFinding {
    int line;
    std::string text;
};

class CtlServiceFile {
public:
    // The domain under which the multicast entry is filed, and its service.
    static constexpr const char* ms_MulticastDomain = "ANY_OSTRAVINE_DOMAIN";
    static constexpr const char* ms_MulticastService = "MulticastService";

    // The installation's service file: $KSX_HOME/etc/ostravine/ServiceData.cfg.
    static std::string DefaultPath();

    // Reads and parses the file. "" when it could be read (a syntax error
    // included), else the one line saying why it could not.
    std::string Load(const std::string& path);

    const std::string& Path() const { return m_Path; }
    bool SyntaxError() const { return m_ErrorLine > 0; }
    // Line of the offending word, 0 when the file is valid.
    int ErrorLine() const { return m_ErrorLine; }
    // True when the file holds no word outside comments.
    bool HasNoWords() const;
    // The line of the first NUL byte, which ends the text the library
    // parses; 0 when the file holds none.
    int NulLine() const { return m_NulLine; }
    // The text of a line (1-based) without its line end; "" beyond the end.
    std::string LineText(int line) const;

    // Sorted by domain, then service; empty after a syntax error.
    const std::vector<CtlEntry>& Entries() const { return m_Entries; }
    const CtlEntry* Find(const std::string& domain, const std::string& service) const;
    // Values the syntax accepts but the library cannot use as meant,
    // entries that replace an earlier one, and a NUL byte that cuts the
    // text short; in line order.
    std::vector<CtlFinding> Findings() const;
    // The warning for the NUL byte that ends the text (when NulLine() > 0).
    CtlFinding NulFinding() const;

private:
    struct Word {
        std::string text;
        int line;
    };
    std::vector<Word> Words() const;
    void CopyEntries(CKesServiceDataParser* parser);

    std::string m_Path;              // as given
    std::string m_Text;              // the content up to its first NUL byte
    int m_NulLine = 0;               // line of that NUL byte, 0 when none
    size_t m_IgnoredBytes = 0;       // bytes after it
    int m_ErrorLine = 0;             // from the parser's syntax report
    std::vector<CtlEntry> m_Entries; // what the parser filed
};
