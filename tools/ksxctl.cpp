// ksxctl: the operator's command-line tool for an installation: lists,
// checks and prunes the service file, asks over multicast who serves a
// service, sends a record to a service and serves one. See docs/ksxctl.md.
#include <cstdio>
#include <cstring>
#include <string>

#include "ksxctl/CtlCommands.h"

namespace {

const char* const kToolHelp =
    "usage: ksxctl COMMAND [ARGS...]   (ksxctl COMMAND --help for each)\n"
    "\n"
    "  list    [--file F]                      the services of a service file\n"
    "  check   [--file F]                      check a service file\n"
    "  prune   [--file F] [--dry-run]          remove dynamic lines whose server is gone\n"
    "  probe   SERVICE DOMAIN                  ask over multicast who serves SERVICE\n"
    "  send    SERVICE DOMAIN name=value...    send one record to SERVICE, show the answers\n"
    "  listen  SERVICE DOMAIN                  serve SERVICE, show what clients send\n"
    "  key     generate [--force]              write a new installation key\n"
    "\n"
    "The service file is $KSX_HOME/etc/ostravine/ServiceData.cfg (KSX_HOME defaults\n"
    "to /opt/ksx); KSX_DEBUG_LEVEL sets the library's trace level.\n"
    "Exit status: 0 done, 1 wrong use or unusable configuration, 2 nothing answered.\n";

const char* const kListHelp = "usage: ksxctl list [--file F]\n"
                              "\n"
                              "Shows the entries of the service file as a table (service, domain, address,\n"
                              "port, server name, dynamic or fixed), sorted by domain, then service.\n"
                              "\n"
                              "  --file F   read F instead of $KSX_HOME/etc/ostravine/ServiceData.cfg\n"
                              "\n"
                              "A file with a syntax error is refused with the line of the error (exit 1).\n";

const char* const kCheckHelp =
    "usage: ksxctl check [--file F]\n"
    "\n"
    "Checks a service file. A syntax error makes the whole file read as empty: it\n"
    "is reported as 'F: line N: syntax error ...' and the exit status is 1.\n"
    "A valid file exits 0; warnings (stderr) name values that pass the syntax but\n"
    "do not work (a port above 65535, an address part above 255, a DYNAMIC value\n"
    "other than YES or NO), entries that replace an earlier one, a missing\n"
    "multicast entry, without which no engine can start, and a NUL byte, which\n"
    "ends the text the library reads (the rest of the file is ignored).\n"
    "\n"
    "  --file F   check F instead of $KSX_HOME/etc/ostravine/ServiceData.cfg\n";

const char* const kPruneHelp =
    "usage: ksxctl prune [--file F] [--dry-run] [--unreachable] [--timeout SECONDS]\n"
    "\n"
    "Tries a TCP connection to the address and port of every dynamic line\n"
    "(DYNAMIC: YES) of the service file, all at once, and removes the lines whose\n"
    "connection is refused: a server that crashed left them behind, and clients\n"
    "keep trying them instead of asking over multicast. Lines that answer stay;\n"
    "so do lines that give no answer in time (the host may only be away) unless\n"
    "--unreachable is given. Fixed lines, comments and every other byte stay as\n"
    "they are. The file is changed in place under the servers' file lock; each\n"
    "line removed is printed.\n"
    "\n"
    "  --file F        prune F instead of $KSX_HOME/etc/ostravine/ServiceData.cfg\n"
    "  --dry-run       print what would be removed, change nothing\n"
    "  --unreachable   also remove lines that give no answer\n"
    "  --timeout S     how long to wait for answers (default 1 s)\n"
    "\n"
    "Exit status 0 when done (whether or not a line was removed), 1 when the file\n"
    "cannot be read, has a syntax error or cannot be written.\n";

const char* const kProbeHelp = "usage: ksxctl probe SERVICE DOMAIN [--timeout SECONDS] [--count N]\n"
                               "\n"
                               "Sends an address request for SERVICE in DOMAIN to the installation's\n"
                               "multicast group and prints every reply (address, port and the server name\n"
                               "the service file gives for them, '-' when it names none).\n"
                               "\n"
                               "  --timeout S   how long to wait for replies (default 5 s)\n"
                               "  --count N     stop after N replies\n"
                               "\n"
                               "Exit status 0 when at least one reply came, 2 when none did.\n";

const char* const kSendHelp =
    "usage: ksxctl send SERVICE DOMAIN name=value... [--id CLIENT_ID] [--timeout SECONDS] [--count N]\n"
    "\n"
    "Connects to SERVICE in DOMAIN as a client (found in the service file, else\n"
    "over multicast), sends one record with the values given and prints every\n"
    "record that comes back, one 'name = value' line per value.\n"
    "A value of digits with an optional sign is an integer, anything else text;\n"
    "name:s=007 sends text, name:i=12 insists on an integer.\n"
    "\n"
    "  --id ID       the client id (default ksxctl-<pid>)\n"
    "  --timeout S   time to reach the server and for the answers (default 5 s)\n"
    "  --count N     stop after N records have come back\n"
    "\n"
    "Exit status 0 when the record was sent, 2 when SERVICE could not be reached.\n";

const char* const kListenHelp =
    "usage: ksxctl listen SERVICE DOMAIN [--echo] [--count N] [--timeout SECONDS]\n"
    "\n"
    "Serves SERVICE in DOMAIN and prints every record received with the id of the\n"
    "client that sent it. The port is the one of a fixed entry (DYNAMIC: NO) for\n"
    "the service in the service file; without one the system chooses a port and\n"
    "the server publishes it in the service file until it stops. There is no\n"
    "--port option: to serve on a fixed port, write a fixed entry.\n"
    "\n"
    "  --echo        send each record back to its client\n"
    "  --count N     stop after N records\n"
    "  --timeout S   stop after S seconds\n"
    "\n"
    "SIGINT and SIGTERM stop it; the published entry is withdrawn on every stop.\n"
    "Exit status 0, or 2 when --count records did not arrive within --timeout.\n";

const char* const kKeyHelp = "usage: ksxctl key generate [--force]\n"
                             "\n"
                             "Writes 32 new random bytes to $KSX_HOME/etc/ostravine/Installation.key with\n"
                             "mode 0600. With that file the installation's processes take part only with\n"
                             "each other: discovery and connections prove the key (records are not\n"
                             "encrypted). Copy the file to every host of the installation. probe, send and\n"
                             "listen use it when it is there.\n"
                             "\n"
                             "  --force   replace an existing key (every host then needs the new one)\n"
                             "\n"
                             "The key is never printed. Exit status 0, or 1 when the file was not written.\n";

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* help;
};

const Command kCommands[] = {
    {"list", CtlRunList, kListHelp},    {"check", CtlRunCheck, kCheckHelp},
    {"prune", CtlRunPrune, kPruneHelp}, {"probe", CtlRunProbe, kProbeHelp},
    {"send", CtlRunSend, kSendHelp},    {"listen", CtlRunListen, kListenHelp},
    {"key", CtlRunKey, kKeyHelp},
};

const Command* FindCommand(const std::string& name)
{
    for (const Command& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

} // namespace

int CtlFail(const std::string& command, const std::string& message, int status)
{
    std::string prefix = command.empty() ? "ksxctl" : "ksxctl " + command;
    std::fprintf(stderr, "%s: %s\n", prefix.c_str(), message.c_str());
    return status;
}

int CtlUsageError(const std::string& command, const std::string& message)
{
    std::string help = command.empty() ? "ksxctl --help" : "ksxctl " + command + " --help";
    return CtlFail(command, message + " (see '" + help + "')", kCtlError);
}

void CtlPrintHelp(const std::string& command)
{
    const Command* found = FindCommand(command);
    std::fputs(found ? found->help : kToolHelp, stdout);
    std::fflush(stdout);
}

int main(int argc, char** argv)
{
    if (argc < 2) return CtlUsageError("", "no command given");
    const std::string name = argv[1];
    if (name == "--help" || name == "-h") return CtlPrintHelp(""), kCtlOk;
    if (name == "help") {
        if (argc > 2 && !FindCommand(argv[2]))
            return CtlUsageError("", std::string("unknown command '") + argv[2] + "'");
        return CtlPrintHelp(argc > 2 ? argv[2] : ""), kCtlOk;
    }
    const Command* command = FindCommand(name);
    if (!command) {
        if (name.rfind("-", 0) == 0)
            return CtlUsageError("", "unknown option " + name + " before the command");
        return CtlUsageError("", "unknown command '" + name + "'");
    }
    return command->run(argc, argv);
}
