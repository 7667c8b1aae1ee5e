// KesDecodeReport (internal to the library's sources; not installed): the one
// report of a record that cannot be decoded, made alike by every module that
// decodes received bytes (work packets, the record header, the engine's
// receive path). Any thread; no locks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "CKesError.h"
#include "CKesRecord.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

// Writes "socket <n>" and, when known, ", peer <address>:<port>" into text:
// the address given, else the socket's peer as the system reports it. For
// reports that a remote peer triggers, which must say whom they are about.
inline void KesDescribePeer(char* text, std::size_t size, unsigned int socket,
                            const sockaddr* address = nullptr, unsigned int addressLength = 0)
{
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (address != nullptr && addressLength > 0 && addressLength <= sizeof peer) {
        std::memcpy(&peer, address, addressLength);
    } else if (getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
        peer.ss_family = AF_UNSPEC;
    }
    char host[INET6_ADDRSTRLEN] = "";
    unsigned int port = 0;
    if (peer.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
    } else if (peer.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    }
    if (host[0] != 0)
        std::snprintf(text, size, "socket %u, peer %s:%u", socket, host, port);
    else
        std::snprintf(text, size, "socket %u", socket);
}

// Reports a KOMDecode result other than 1 under the module's source name. A
// refused record (KES_ERR_DECODE) gets the text "Record cannot be decoded: "
// with the decoder's reason and, unless it is the invalid socket, the
// socket it came from and the peer's address (rate-limited per source line,
// since a peer can send any number); any other code is reported without a
// text. Call it on the thread that decoded, before it decodes again.
inline void KesReportDecodeFailure(int code, const char* source, int line,
                                   unsigned int socket = KES_INVALID_SOCKET,
                                   const sockaddr* address = nullptr, unsigned int addressLength = 0)
{
    if (code != KES_ERR_DECODE) {
        CKesError(code, source, line, nullptr);
        return;
    }
    const char* why = CKesRecord::KOMDecodeRefusal();
    char text[224];
    if (socket == KES_INVALID_SOCKET) {
        std::snprintf(text, sizeof text, "Record cannot be decoded: %s", why ? why : "no reason given");
        CKesError(code, source, line, text);
        return;
    }
    char peer[96];
    KesDescribePeer(peer, sizeof peer, socket, address, addressLength);
    std::snprintf(text, sizeof text, "Record cannot be decoded: %s (%s)", why ? why : "no reason given",
                  peer);
    KesReportLimited(code, source, line, text);
}
