// Publishes services in the shared service file, for the tests of several processes rewriting it at once.
// ksx_server_publisher <tag> <count>: publishes <count> services, withdraws every other one, prints
// "<service> <port>" for each one left published and exits without withdrawing those.
// ksx_server_publisher <tag> <count> <rounds>: <rounds> times publishes <count> services and withdraws
// them all (KOSSRemoveServiceEntry: termination's rewrite without its wait for the accept thread).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CKesObjSockServer.h"
#include "CKesSockEnd.h"

namespace {

// Servers <tag>-0 .. <tag>-<count - 1>, each published; empty on a failure.
std::vector<CKesObjSockServer*> Publish(const std::string& tag, int count)
{
    std::vector<CKesObjSockServer*> servers;
    for (int i = 0; i < count; ++i) {
        auto* server = new CKesObjSockServer();
        server->KOSSSetServiceName(strdup((tag + "-" + std::to_string(i)).c_str()));
        server->KOSSSetDomain(strdup("dom"));
        if (server->KOSSInitialise() != 1) return {};
        servers.push_back(server);
    }
    return servers;
}

int LeaveEveryOtherOne(const std::string& tag, int count)
{
    std::vector<CKesObjSockServer*> servers = Publish(tag, count);
    if (static_cast<int>(servers.size()) != count) return 1;
    for (int i = 1; i < count; i += 2)
        printf("%s %u\n", servers[i]->KOSSGetServiceName(),
               servers[i]->KOSSGetServerData()->KSEGetEndPtAddressPort());
    for (int i = 0; i < count; i += 2) {
        if (servers[i]->KOSSTerminate() != 1) return 1;
        delete servers[i];
    }
    return 0;
}

int PublishAndWithdraw(const std::string& tag, int count, int rounds)
{
    for (int round = 0; round < rounds; ++round) {
        std::vector<CKesObjSockServer*> servers = Publish(tag, count);
        if (static_cast<int>(servers.size()) != count) return 1;
        for (CKesObjSockServer* server : servers)
            if (server->KOSSRemoveServiceEntry() != 1) return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: %s <tag> <count> [<rounds>]\n", argv[0]);
        return 2;
    }
    const int count = atoi(argv[2]);
    const int status =
        argc == 3 ? LeaveEveryOtherOne(argv[1], count) : PublishAndWithdraw(argv[1], count, atoi(argv[3]));
    fflush(stdout);
    // Ends without destroying the servers left running, so their lines stay published.
    _exit(status);
}
