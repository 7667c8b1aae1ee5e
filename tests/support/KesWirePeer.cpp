#include "KesWirePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

namespace ksxtest {

namespace {

sockaddr_in Loopback(unsigned int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A listening socket on a free loopback port; sets *port.
int ListenOnLoopback(int* port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0)
        throw std::runtime_error("cannot listen on loopback");
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

} // namespace

Bytes Pattern(size_t size, unsigned seed)
{
    Bytes bytes(size);
    std::mt19937 random(seed);
    for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Encode(const CKesRecord& record)
{
    unsigned char* bytes = nullptr;
    unsigned int length = 0;
    if (record.KOMEncode(&bytes, &length) != 1) return {};
    Bytes out(bytes, bytes + length);
    free(bytes);
    return out;
}

Bytes Frame(const Bytes& payload)
{
    const uint32_t length = static_cast<uint32_t>(payload.size());
    Bytes frame(4 + payload.size());
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<unsigned char>(length >> (24 - 8 * i));
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    return frame;
}

CKesRecord TextRecord(const char* name, const char* text)
{
    CKesRecord record;
    record.KRAddValue(name, text);
    return record;
}

std::string TextOf(const CKesRecord& record, const char* name)
{
    const CKesAtom* value = record.KRValueOf(name);
    return value && value->KAString() ? value->KAString() : "";
}

bool Readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

std::unique_ptr<WireConnection> WireConnection::To(unsigned int port)
{
    const sockaddr_in address = Loopback(port);
    for (int waited = 0; waited < kWireGuardMs; waited += 2) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return std::make_unique<WireConnection>(fd);
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    throw std::runtime_error("nothing accepts on port " + std::to_string(port));
}

bool WireConnection::SendAll(const Bytes& bytes, size_t from, size_t count)
{
    count = std::min(count, bytes.size() - from);
    while (count > 0) {
        const ssize_t sent = send(m_Fd, bytes.data() + from, count, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        from += static_cast<size_t>(sent);
        count -= static_cast<size_t>(sent);
    }
    return true;
}

bool WireConnection::ReadExactly(unsigned char* out, size_t length)
{
    while (length > 0) {
        if (!Readable(m_Fd, kWireGuardMs)) return false;
        const ssize_t got = recv(m_Fd, out, length, 0);
        if (got <= 0) return false;
        out += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool WireConnection::ReadFrame(Bytes& payload)
{
    unsigned char header[4];
    if (!ReadExactly(header, 4)) return false;
    const uint32_t length =
        (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) | (uint32_t(header[2]) << 8) | header[3];
    payload.resize(length);
    return length == 0 || ReadExactly(payload.data(), length);
}

std::unique_ptr<CKesRecord> WireConnection::ReadRecord()
{
    Bytes payload;
    if (!ReadFrame(payload)) return nullptr;
    auto record = std::make_unique<CKesRecord>();
    if (record->KOMDecode(payload.data(), static_cast<unsigned int>(payload.size())) != 1) return nullptr;
    return record;
}

bool WireConnection::SeesEnd()
{
    unsigned char byte;
    return Readable(m_Fd, kWireGuardMs) && recv(m_Fd, &byte, 1, 0) <= 0;
}

void WireConnection::Shutdown() { shutdown(m_Fd, SHUT_RDWR); }

void WireConnection::Close()
{
    if (m_Fd >= 0) close(m_Fd);
    m_Fd = -1;
}

WireListener::WireListener() { m_Listen = ListenOnLoopback(&m_Port); }

WireListener::~WireListener() { close(m_Listen); }

std::unique_ptr<WireConnection> WireListener::Accept()
{
    if (!Readable(m_Listen, kWireGuardMs)) return nullptr;
    const int fd = accept(m_Listen, nullptr, nullptr);
    return fd < 0 ? nullptr : std::make_unique<WireConnection>(fd);
}

TcpPair::TcpPair()
{
    WireListener listener;
    m_Far = WireConnection::To(static_cast<unsigned int>(listener.Port()));
    std::unique_ptr<WireConnection> near = listener.Accept();
    if (!near) throw std::runtime_error("loopback connection not accepted");
    m_Near = near->Release();
}

TcpPair::~TcpPair()
{
    if (m_Near >= 0) close(m_Near);
}

unsigned int TcpPair::Release()
{
    const unsigned int near = Near();
    m_Near = -1;
    return near;
}

} // namespace ksxtest
