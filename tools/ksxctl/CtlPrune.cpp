// prune: removes the dynamic lines of the service file whose server is gone
// (a connection to its address and port is refused). The file is read as
// the library's readers read it (under the shared lock), the addresses are
// tried with no lock held, and the lines are removed in place under the
// exclusive lock the servers take for their own rewrites (CKesFileLock), so
// no server's rewrite and no reader ever meets a half-written file. Every
// other byte stays as it was.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

#include "CKesFileLock.h"
#include "CKesReadOnlyFile.h"
#include "CtlArgs.h"
#include "CtlCommands.h"
#include "CtlReach.h"
#include "CtlServiceFile.h"
#include "KesPort.h"

namespace {

// Long enough for a host on the local network to answer, short enough that
// an operator waits for it; all lines are tried at once.
constexpr double kDefaultTimeout = 1.0;

struct Line {
    size_t start;  // offset in the text
    size_t length; // with its line end
    int number;    // 1-based
};

// The lines of a text, each with its line feed; the last one may lack it.
std::vector<Line> SplitLines(const std::string& text)
{
    std::vector<Line> lines;
    int number = 1;
    for (size_t start = 0; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back({start, end - start, number});
        start = end;
    }
    return lines;
}

// Whether the line ends before the text's first NUL byte (at offset nul):
// the library reads nothing from there on, so prune leaves it all alone.
bool BeforeNul(const Line& line, size_t nul) { return line.start + line.length <= nul; }

// The words of one line by the service file's rules (blanks, tabs and
// carriage returns separate them; a word that begins with "##" or "--"
// begins a comment up to the line end).
std::vector<std::string> LineWords(const std::string& line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        if (std::strchr(" \t\r\n", line[i])) {
            ++i;
            continue;
        }
        if (line.compare(i, 2, "##") == 0 || line.compare(i, 2, "--") == 0) break;
        const size_t start = i;
        while (i < line.size() && !std::strchr(" \t\r\n", line[i])) ++i;
        words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool Keyword(const std::string& word, const char* keyword) { return strcasecmp(word.c_str(), keyword) == 0; }

// A line that holds exactly one dynamic entry, as a server writes it:
// SERVICE: s DOMAIN: d ADDRESS: a.b.c.d PORT: n [SERVERNAME: h] DYNAMIC: YES,
// keywords and YES in any case, a comment after it allowed. Entries written
// over several lines, fixed entries and comments are never candidates.
bool DynamicLineTarget(const std::string& line, CtlReachTarget* target)
{
    const std::vector<std::string> w = LineWords(line);
    if (w.size() != 10 && w.size() != 12) return false;
    const size_t dynamic = w.size() - 2;
    if (!Keyword(w[0], "SERVICE:") || !Keyword(w[2], "DOMAIN:") || !Keyword(w[4], "ADDRESS:") ||
        !Keyword(w[6], "PORT:") || !Keyword(w[dynamic], "DYNAMIC:") || !Keyword(w[dynamic + 1], "YES"))
        return false;
    if (w.size() == 12 && !Keyword(w[8], "SERVERNAME:")) return false;
    in_addr address{};
    if (KesInetAtoN(w[5].c_str(), &address) != 0) return false;
    const std::string& port = w[7];
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long value = std::stoul(port);
    if (value == 0 || value > 65535) return false;
    target->address = w[5];
    target->port = static_cast<unsigned int>(value);
    return true;
}

// A line for the operator: without its line end.
std::string Shown(std::string shown)
{
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
    return shown;
}

// Reads the whole open file from its start; false when a read fails.
bool ReadWhole(KesFileHandle handle, std::string* text)
{
    text->clear();
    if (KesFileSeek(handle, 0, 1) < 0) return false;
    char buffer[65536];
    for (;;) {
        const int count = KesFileRead(handle, buffer, sizeof buffer);
        if (count < 0) return false;
        if (count == 0) return true;
        text->append(buffer, static_cast<size_t>(count));
    }
}

// Reads the file as every reader of the library does (CKesReadOnlyFile,
// under the shared lock), so a server's rewrite in progress is waited for,
// never seen half-way.
std::string ReadShared(const std::string& path, std::string* text)
{
    CKesReadOnlyFile file(path.c_str(), false);
    size_t length = 0;
    char* content = file.KOFOpenLoop(1, 0) == 0 ? file.KOFReadAll(&length) : nullptr;
    if (!content) return "cannot read the service file " + path + ": " + std::strerror(errno);
    text->assign(content, length);
    std::free(content);
    return "";
}

// One dynamic line that is to go, with the reason.
struct Removal {
    std::string text; // the line's bytes, line end included
    std::string reason;
    int number; // its line in the file as last read
};

// What the first look found: the lines to remove, keyed by their bytes.
struct Survey {
    int dynamicLines = 0;
    std::map<std::string, std::string> removable; // line bytes -> reason
};

// Tries the address of every dynamic line; a refused one is removable, one
// that does not answer only when removeUnanswered. Notes the kept
// unanswered lines on standard error.
Survey SurveyLines(const std::string& path, const std::string& text, double timeout, bool removeUnanswered)
{
    Survey survey;
    std::vector<Line> candidates;
    std::vector<CtlReachTarget> targets;
    const size_t nul = text.find('\0');
    for (const Line& line : SplitLines(text)) {
        CtlReachTarget target;
        if (!BeforeNul(line, nul) || !DynamicLineTarget(text.substr(line.start, line.length), &target))
            continue;
        candidates.push_back(line);
        targets.push_back(target);
    }
    survey.dynamicLines = static_cast<int>(candidates.size());
    const std::vector<CtlReachResult> results = CtlTryConnect(targets, timeout);
    for (size_t i = 0; i < candidates.size(); ++i) {
        const CtlReachResult& result = results[i];
        const std::string bytes = text.substr(candidates[i].start, candidates[i].length);
        if (result.state == CtlReachState::Refused ||
            (result.state == CtlReachState::NoAnswer && removeUnanswered)) {
            survey.removable[bytes] = result.reason;
        } else if (result.state == CtlReachState::NoAnswer) {
            std::fprintf(stderr,
                         "ksxctl prune: note: %s: line %d: %s:%u: %s; kept (--unreachable removes it)\n",
                         path.c_str(), candidates[i].number, targets[i].address.c_str(), targets[i].port,
                         result.reason.c_str());
        }
    }
    return survey;
}

// Removes the lines of text whose bytes the survey found removable (a line
// that a server has rewritten since differs and stays); everything else is
// copied byte for byte.
std::string WithoutRemovable(const std::string& text, const Survey& survey, std::vector<Removal>* removed)
{
    std::string kept;
    kept.reserve(text.size());
    const size_t nul = text.find('\0');
    for (const Line& line : SplitLines(text)) {
        std::string bytes = text.substr(line.start, line.length);
        auto found = survey.removable.find(bytes);
        if (found == survey.removable.end() || !BeforeNul(line, nul))
            kept += bytes;
        else
            removed->push_back({std::move(bytes), found->second, line.number});
    }
    return kept;
}

// Rewrites the file in place under the servers' file lock: open it (never
// created), hold the exclusive file lock on the file the path still names,
// read it whole, write the new text from the start and cut the file to it.
// Nothing is written when nothing changes.
std::string RemoveUnderLock(const std::string& path, const Survey& survey, std::vector<Removal>* removed)
{
    KesFileHandle handle = KesFileOpen(path.c_str(), 3);
    if (handle == KES_INVALID_FILE_HANDLE)
        return "cannot open " + path + " for writing: " + std::strerror(errno);
    std::string error;
    {
        CKesFileLock lock(path.c_str(), handle); // released when it goes out of scope
        std::string text;
        if (lock.KFLLock() != 1) {
            error = "cannot take the file lock of " + path;
        } else if (!KesFileIsAt(handle, path.c_str())) {
            // The file was replaced since it was opened (an editor that
            // renames a new one over it): the lock guards the old one.
            lock.KFLUnlock();
            KesFileClose(handle);
            return RemoveUnderLock(path, survey, removed);
        } else if (!ReadWhole(handle, &text)) {
            error = "cannot read the service file " + path + ": " + std::strerror(errno);
        } else {
            const std::string kept = WithoutRemovable(text, survey, removed);
            if (kept.size() != text.size() &&
                (KesFilePWrite(handle, kept.data(), kept.size(), 0) != static_cast<long>(kept.size()) ||
                 KesFileTruncate(handle, static_cast<long long>(kept.size())) != 0)) {
                error = "cannot write " + path + ": " + std::strerror(errno) + " (the file may be damaged)";
                removed->clear();
            }
        }
    }
    KesFileClose(handle);
    return error;
}

} // namespace

int CtlRunPrune(int argc, char** argv)
{
    CtlArgs args;
    std::string error = args.Parse(
        argc, argv, 2, {{"file", true}, {"dry-run", false}, {"unreachable", false}, {"timeout", true}});
    if (args.Help()) return CtlPrintHelp("prune"), kCtlOk;
    if (error.empty() && !args.Positional().empty()) error = "unexpected word '" + args.Positional()[0] + "'";
    double timeout = kDefaultTimeout;
    if (error.empty()) error = args.Seconds("timeout", kDefaultTimeout, &timeout);
    if (!error.empty()) return CtlUsageError("prune", error);
    const bool dryRun = args.Has("dry-run");

    const std::string path = args.Value("file", CtlServiceFile::DefaultPath());
    CtlServiceFile file;
    if (error = file.Load(path); !error.empty()) return CtlFail("prune", error);
    if (file.SyntaxError())
        return CtlFail("prune", path + ": line " + std::to_string(file.ErrorLine()) +
                                    ": syntax error (the whole file reads as empty); see 'ksxctl check'");

    std::string text;
    if (error = ReadShared(path, &text); !error.empty()) return CtlFail("prune", error);
    const Survey survey = SurveyLines(path, text, timeout, args.Has("unreachable"));

    std::vector<Removal> removed;
    if (dryRun) {
        WithoutRemovable(text, survey, &removed);
    } else if (!survey.removable.empty()) {
        if (error = RemoveUnderLock(path, survey, &removed); !error.empty()) return CtlFail("prune", error);
    }
    const char* verb = dryRun ? "would remove" : "removed";
    for (const Removal& line : removed)
        std::printf("%s: line %d: %s (%s): %s\n", path.c_str(), line.number, verb, line.reason.c_str(),
                    Shown(line.text).c_str());
    std::printf("%s: %d dynamic line%s, %zu %s\n", path.c_str(), survey.dynamicLines,
                survey.dynamicLines == 1 ? "" : "s", removed.size(), dryRun ? "would be removed" : "removed");
    std::fflush(stdout);
    return kCtlOk;
}
