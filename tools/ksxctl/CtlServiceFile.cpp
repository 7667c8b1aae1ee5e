#include "CtlServiceFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <strings.h>

#include "CKesDoubleList.h"
#include "CKesEnv.h"
#include "CKesPointer.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesTreeList.h"
#include "CtlOutputCapture.h"

namespace {

// What the parser prints on standard output for a syntax error.
const char* const kSyntaxReport = "parse error Line number: ";

bool SameWord(const std::string& word, const char* keyword) { return strcasecmp(word.c_str(), keyword) == 0; }

bool AllDigits(const std::string& word)
{
    return !word.empty() &&
           std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Four digit runs joined by dots (the address shape of the syntax) with an
// octet above 255.
bool OctetTooLarge(const std::string& word)
{
    std::stringstream parts(word);
    std::string part;
    int count = 0;
    bool tooLarge = false;
    while (std::getline(parts, part, '.')) {
        if (!AllDigits(part)) return false;
        ++count;
        if (part.size() > 3 || std::atoi(part.c_str()) > 255) tooLarge = true;
    }
    return count == 4 && tooLarge;
}

// The domain under which the parser files a DOMAIN: value.
std::string FiledDomain(const std::string& word)
{
    if (SameWord(word, "ANY_KES_DOMAIN")) return CtlServiceFile::ms_MulticastDomain;
    if (AllDigits(word)) return std::to_string(std::strtol(word.c_str(), nullptr, 10));
    return word;
}

} // namespace

std::string CtlServiceFile::DefaultPath() { return CKesEnv::KEServiceFilePath(); }

std::string CtlServiceFile::Load(const std::string& path)
{
    m_Path = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read the service file " + path + ": " + std::strerror(errno);
    std::stringstream text;
    text << in.rdbuf();
    m_Text = text.str();
    // The library's text ends at the first NUL byte: keep what it parses.
    if (size_t nul = m_Text.find('\0'); nul != std::string::npos) {
        m_NulLine = 1 + static_cast<int>(std::count(m_Text.begin(), m_Text.begin() + nul, '\n'));
        m_IgnoredBytes = m_Text.size() - nul - 1;
        m_Text.resize(nul);
    }

    // The parser reads the file itself (as the library does everywhere) and
    // reports a syntax error on standard output: catch that report here.
    CKesServiceDataParser parser;
    CtlOutputCapture capture;
    const int result = parser.KSDPParseFromFile(path.c_str());
    const std::string said = capture.Finish();
    if (result != 1)
        return "cannot read the service file " + path + " (error " + std::to_string(result) + ")";
    if (size_t at = said.find(kSyntaxReport); at != std::string::npos)
        m_ErrorLine = std::max(1, std::atoi(said.c_str() + at + std::strlen(kSyntaxReport)));
    CopyEntries(&parser);
    return "";
}

void CtlServiceFile::CopyEntries(CKesServiceDataParser* parser)
{
    CKesTreeList* table = parser->KSDPResults();
    CKesDoubleList* walk = table ? table->KTLIterator() : nullptr;
    for (CKesListable* item = walk ? walk->KDLHead() : nullptr; item; item = walk->KDLGetNext(item)) {
        auto* end = static_cast<CKesSockEnd*>(static_cast<CKesPointer*>(item)->KPData());
        if (!end) continue;
        CtlEntry entry;
        entry.service = end->KSEGetServiceName() ? end->KSEGetServiceName() : "";
        entry.domain = end->KSEGetEndPointDomain() ? end->KSEGetEndPointDomain() : "";
        char* address = end->KSEGetEndPtIpAddress();
        entry.address = address ? address : "";
        free(address);
        entry.port = end->KSEGetEndPtAddressPort();
        entry.server = end->KSEGetEndPointName() ? end->KSEGetEndPointName() : "";
        entry.dynamic = end->KSEGetDynamic();
        m_Entries.push_back(entry);
    }
    std::sort(m_Entries.begin(), m_Entries.end(), [](const CtlEntry& a, const CtlEntry& b) {
        return a.domain != b.domain ? a.domain < b.domain : a.service < b.service;
    });
}

bool CtlServiceFile::HasNoWords() const { return Words().empty(); }

std::string CtlServiceFile::LineText(int line) const
{
    std::stringstream text(m_Text);
    std::string current;
    for (int number = 1; std::getline(text, current); ++number) {
        if (number < line) continue;
        if (!current.empty() && current.back() == '\r') current.pop_back();
        return current;
    }
    return "";
}

const CtlEntry* CtlServiceFile::Find(const std::string& domain, const std::string& service) const
{
    for (const CtlEntry& entry : m_Entries)
        if (entry.domain == domain && entry.service == service) return &entry;
    return nullptr;
}

// The words of the text as the service file's scanner separates them:
// blanks, tabs, carriage returns and line feeds between words, comments from
// a word-initial "##" or "--" to the line end (the text ends before any NUL).
std::vector<CtlServiceFile::Word> CtlServiceFile::Words() const
{
    std::vector<Word> words;
    int line = 1;
    size_t i = 0;
    const size_t end = m_Text.size();
    while (i < end) {
        const char c = m_Text[i];
        if (c == '\n') ++line;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        if (m_Text.compare(i, 2, "##") == 0 || m_Text.compare(i, 2, "--") == 0) {
            while (i < end && m_Text[i] != '\n') ++i;
            continue;
        }
        const size_t start = i;
        while (i < end && !std::strchr(" \t\r\n", m_Text[i])) ++i;
        words.push_back({m_Text.substr(start, i - start), line});
    }
    return words;
}

CtlFinding CtlServiceFile::NulFinding() const
{
    return {m_NulLine, "a NUL byte ends the text here: the rest of the file (" +
                           std::to_string(m_IgnoredBytes) + " bytes) is ignored"};
}

std::vector<CtlFinding> CtlServiceFile::Findings() const
{
    std::vector<CtlFinding> findings;
    std::map<std::string, int> entryLines; // "domain.service" -> line of its SERVICE:
    const std::vector<Word> words = Words();
    std::string service;
    int serviceLine = 0;
    for (size_t i = 0; i + 1 < words.size(); ++i) {
        const std::string& keyword = words[i].text;
        const Word& value = words[i + 1];
        if (SameWord(keyword, "SERVICE:")) {
            service = value.text;
            serviceLine = words[i].line;
        } else if (SameWord(keyword, "DOMAIN:")) {
            const std::string key = FiledDomain(value.text) + "." + service;
            if (auto earlier = entryLines.find(key); earlier != entryLines.end())
                findings.push_back({serviceLine, "the entry of " + service + " in " +
                                                     FiledDomain(value.text) + " replaces the one on line " +
                                                     std::to_string(earlier->second)});
            entryLines[key] = serviceLine;
        } else if (SameWord(keyword, "PORT:") && AllDigits(value.text) &&
                   (value.text.size() > 5 || std::atol(value.text.c_str()) > 65535)) {
            findings.push_back({value.line, "port " + value.text + " is above 65535"});
        } else if (SameWord(keyword, "ADDRESS:") && OctetTooLarge(value.text)) {
            findings.push_back(
                {value.line, "address " + value.text + " is no IPv4 address (a part is above 255)"});
        } else if (SameWord(keyword, "DYNAMIC:") && !SameWord(value.text, "YES") &&
                   !SameWord(value.text, "NO")) {
            findings.push_back({value.line, "DYNAMIC: " + value.text +
                                                " is neither YES nor NO; the entry counts as dynamic"});
        }
    }
    if (m_NulLine > 0) findings.push_back(NulFinding());
    std::stable_sort(findings.begin(), findings.end(),
                     [](const CtlFinding& a, const CtlFinding& b) { return a.line < b.line; });
    return findings;
}
