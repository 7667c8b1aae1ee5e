// KesErrorCodes: every error code the libraries report or return, by name.
// Operations that can fail return 1 on success and one of these on failure;
// CKesError reports carry them. The values are part of the wire of reports
// that operators and hosts read, so they never change.
#pragma once

// Arguments and resources.
constexpr int KES_ERR_ARGUMENT = -220552;     // a required argument or field is null or out of range
constexpr int KES_ERR_ALLOCATION = -220553;   // an allocation failed
constexpr int KES_ERR_MISSING = -220402;      // a required path, file content or object is missing
constexpr int KES_ERR_ZERO_LENGTH = -220444;  // a length of 0 where a length is required
constexpr int KES_ERR_WAIT_TIMEOUT = -220477; // a timed wait on a thread's condition ran out

// The service file.
constexpr int KES_ERR_SERVICE_FILE_READ = -220549;  // cannot be stated, opened or read
constexpr int KES_ERR_SERVICE_FILE_WRITE = -220452; // cannot be opened, written or truncated
constexpr int KES_ERR_FILE_LOCK = -220456;          // its lock cannot be taken or released
constexpr int KES_ERR_SERVICE_ENTRY = -220439; // a required entry is missing, or a value in it is not valid

// Sockets.
constexpr int KES_ERR_SOCKET_CREATE = -220518;  // a socket cannot be created
constexpr int KES_ERR_SOCKET_OPTION = -220461;  // a socket option cannot be set
constexpr int KES_ERR_BIND = -220460;           // a socket cannot be bound
constexpr int KES_ERR_LISTEN = -220543;         // a listening socket cannot listen
constexpr int KES_ERR_BLOCKING_MODE = -220447;  // a socket's blocking mode cannot be changed
constexpr int KES_ERR_INVALID_SOCKET = -220459; // an invalid socket, or no valid multicast receive socket
constexpr int KES_ERR_ADDRESS_FAMILY = -220432; // an address family other than IPv4 or IPv6

// Servers and their connections.
constexpr int KES_ERR_ACCEPT_THREAD = -220364; // the accept thread cannot be created
constexpr int KES_ERR_ACCEPT_JOIN = -220478;   // the accept thread cannot be joined
constexpr int KES_ERR_ACCEPT_WAIT = -220516;   // waiting for a connection to accept failed
constexpr int KES_ERR_CONNECTION = -220465; // a connection cannot be accepted or taken on; no server endpoint
constexpr int KES_ERR_NO_SERVER = -220463;  // a packet for a service without a server; no host name
constexpr int KES_ERR_DUPLICATE_CLIENT = -220455; // a client id is already in the server's client table
constexpr int KES_ERR_DUPLICATE_SERVER = -220454; // a server is already registered for the service name

// Clients.
constexpr int KES_ERR_SEND = -220545;              // nothing to send, or a send failed or was refused
constexpr int KES_ERR_NO_SERVER_ADDRESS = -220464; // the client's server endpoint has no address
constexpr int KES_ERR_PEER_ADDRESS = -220512;      // the connected server's address cannot be read back

// Framing and records.
constexpr int KES_ERR_FRAMING = -220440; // inconsistent framing of TCP packets
constexpr int KES_ERR_DECODE = -220441;  // a record's bytes are not one well-formed record

// Multicast discovery.
constexpr int KES_ERR_MULTICAST_SEND = -220517;  // a multicast datagram cannot be sent
constexpr int KES_ERR_MULTICAST_GROUP = -220458; // a multicast group address is not acceptable
constexpr int KES_ERR_MULTICAST_UNAVAILABLE =
    -220469;                                   // the multicast service cannot be reached; the process ends
constexpr int KES_ERR_ADDRESS_REPLY = -220457; // an address reply cannot be processed
constexpr int KES_ERR_MULTICAST_INTERFACE =
    -220442; // the chosen multicast interface is no interface or IPv4 address of this host

// The installation key (opt-in authentication of discovery and connections).
constexpr int KES_ERR_AUTH = -220445; // a peer did not prove the installation key, or proved one here unknown
constexpr int KES_ERR_AUTH_KEY = -220446; // the installation key file or value cannot be used
