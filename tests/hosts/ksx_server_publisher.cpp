// A process that publishes services in the shared service file and then
// withdraws every other one, for the test of several processes rewriting
// the file at once. Usage: ksx_server_publisher <tag> <count>. Prints
// "<service> <port>" for each service it leaves published, then exits
// without withdrawing those.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CKesObjSockServer.h"
#include "CKesSockEnd.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <tag> <count>\n", argv[0]);
        return 2;
    }
    const std::string tag = argv[1];
    const int count = atoi(argv[2]);
    std::vector<CKesObjSockServer*> servers;
    for (int i = 0; i < count; ++i) {
        auto* server = new CKesObjSockServer();
        server->KOSSSetServiceName(strdup((tag + "-" + std::to_string(i)).c_str()));
        server->KOSSSetDomain(strdup("dom"));
        if (server->KOSSInitialise() != 1) return 1;
        servers.push_back(server);
    }
    for (int i = 0; i < count; ++i) {
        CKesObjSockServer* server = servers[i];
        if (i % 2 == 0) {
            if (server->KOSSTerminate() != 1) return 1;
            delete server;
            continue;
        }
        printf("%s %u\n", server->KOSSGetServiceName(),
               server->KOSSGetServerData()->KSEGetEndPtAddressPort());
    }
    fflush(stdout);
    // The remaining servers stay published: the process ends without
    // destroying them.
    _exit(0);
}
