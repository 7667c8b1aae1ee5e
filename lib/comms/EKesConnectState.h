// EKesConnectState: the connection state of servers and clients.
#pragma once

enum EKesConnectState {
    KES_UNCONNECTED = 0,      // unconnected; a server not yet accepting
    KES_CONNECTING = 1,       // a connection attempt is under way
    KES_SOCKET_CONNECTED = 2, // client: TCP up, greeting under way
    KES_CONNECTED = 3,        // connected; a server: accepting
    KES_DISCONNECTED = 4      // disconnected; a server: terminated
};
