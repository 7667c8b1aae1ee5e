// __serv_types: the kind of process a network engine serves; passed through
// unchanged by the library.
#pragma once

enum __serv_types {
    __KES_SERV_NONE = 0,   // unspecified
    __KES_SERV_DAEMON = 1, // a long-running daemon
    __KES_SERV_TOOL = 2    // a short-lived tool
};
