// list and check: the commands that only read a service file.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CtlArgs.h"
#include "CtlCommands.h"
#include "CtlServiceFile.h"

namespace {

// Reads the file named by --file (or the installation's); "" or the error.
std::string LoadFromArgs(const CtlArgs& args, CtlServiceFile* file)
{
    return file->Load(args.Value("file", CtlServiceFile::DefaultPath()));
}

std::string SyntaxMessage(const CtlServiceFile& file)
{
    std::string message = file.Path() + ": line " + std::to_string(file.ErrorLine()) + ": syntax error";
    if (file.HasNoWords()) {
        message += ": the file holds no entry";
    } else {
        std::string text = file.LineText(file.ErrorLine());
        if (!text.empty()) message += " in '" + text + "'";
        message += " (the whole file reads as empty until it is fixed)";
    }
    if (file.NulLine() > 0)
        message +=
            "; a NUL byte on line " + std::to_string(file.NulLine()) + " ends the text, the rest is ignored";
    return message;
}

// The table: one row per entry, columns as wide as their widest cell.
void PrintTable(const std::vector<CtlEntry>& entries)
{
    std::vector<std::vector<std::string>> rows{{"SERVICE", "DOMAIN", "ADDRESS", "PORT", "SERVER", "TYPE"}};
    for (const CtlEntry& e : entries)
        rows.push_back({e.service, e.domain, e.address, std::to_string(e.port),
                        e.server.empty() ? "-" : e.server, e.dynamic ? "dynamic" : "fixed"});
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

} // namespace

int CtlRunList(int argc, char** argv)
{
    CtlArgs args;
    std::string error = args.Parse(argc, argv, 2, {{"file", true}});
    if (args.Help()) return CtlPrintHelp("list"), kCtlOk;
    if (error.empty() && !args.Positional().empty()) error = "unexpected word '" + args.Positional()[0] + "'";
    if (!error.empty()) return CtlUsageError("list", error);

    CtlServiceFile file;
    if (error = LoadFromArgs(args, &file); !error.empty()) return CtlFail("list", error);
    if (file.SyntaxError()) return CtlFail("list", SyntaxMessage(file) + "; see 'ksxctl check'");
    if (file.NulLine() > 0) // the entries after it are not listed: say so
        std::fprintf(stderr, "ksxctl list: warning: %s: line %d: %s\n", file.Path().c_str(), file.NulLine(),
                     file.NulFinding().text.c_str());
    PrintTable(file.Entries());
    return kCtlOk;
}

int CtlRunCheck(int argc, char** argv)
{
    CtlArgs args;
    std::string error = args.Parse(argc, argv, 2, {{"file", true}});
    if (args.Help()) return CtlPrintHelp("check"), kCtlOk;
    if (error.empty() && !args.Positional().empty()) error = "unexpected word '" + args.Positional()[0] + "'";
    if (!error.empty()) return CtlUsageError("check", error);

    CtlServiceFile file;
    if (error = LoadFromArgs(args, &file); !error.empty()) return CtlFail("check", error);
    if (file.SyntaxError()) return CtlFail("check", SyntaxMessage(file));

    for (const CtlFinding& finding : file.Findings())
        std::fprintf(stderr, "ksxctl check: warning: %s: line %d: %s\n", file.Path().c_str(), finding.line,
                     finding.text.c_str());
    if (!file.Find(CtlServiceFile::ms_MulticastDomain, CtlServiceFile::ms_MulticastService))
        std::fprintf(
            stderr,
            "ksxctl check: warning: %s: no multicast entry (SERVICE: MulticastService DOMAIN: ANY_KES_DOMAIN "
            "ADDRESS: <group> PORT: <port>); no engine can start with this file\n",
            file.Path().c_str());
    const size_t count = file.Entries().size();
    std::printf("%s: valid, %zu entr%s\n", file.Path().c_str(), count, count == 1 ? "y" : "ies");
    std::fflush(stdout);
    return kCtlOk;
}
