#include "KesWirePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

namespace ksxtest {

sockaddr_in Ipv4(const char* address, int port)
{
    sockaddr_in ipv4{};
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(static_cast<uint16_t>(port));
    ipv4.sin_addr.s_addr = inet_addr(address);
    return ipv4;
}

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

Bytes Repeat(const Bytes& bytes, size_t times)
{
    Bytes all;
    all.reserve(bytes.size() * times);
    while (times-- > 0) all.insert(all.end(), bytes.begin(), bytes.end());
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
    const uint32_t length = htonl(static_cast<uint32_t>(payload.size()));
    const auto* header = reinterpret_cast<const unsigned char*>(&length);
    return Join({Bytes(header, header + 4), payload});
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

int Unread(int fd)
{
    int bytes = -1;
    return ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : -1;
}

std::unique_ptr<WireConnection> WireConnection::To(unsigned int port)
{
    const sockaddr_in address = Ipv4("127.0.0.1", static_cast<int>(port));
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
    const size_t end = from + std::min(count, bytes.size() - from);
    for (ssize_t sent = 0; from < end; from += static_cast<size_t>(sent))
        if ((sent = send(m_Fd, bytes.data() + from, end - from, MSG_NOSIGNAL)) <= 0) return false;
    return true;
}

bool WireConnection::ReadExactly(unsigned char* out, size_t length)
{
    for (ssize_t got = 0; length > 0; out += got, length -= static_cast<size_t>(got))
        if (!Readable(m_Fd, kWireGuardMs) || (got = recv(m_Fd, out, length, 0)) <= 0) return false;
    return true;
}

bool WireConnection::ReadFrame(Bytes& payload)
{
    uint32_t length = 0;
    if (!ReadExactly(reinterpret_cast<unsigned char*>(&length), 4)) return false;
    payload.resize(ntohl(length));
    return payload.empty() || ReadExactly(payload.data(), payload.size());
}

std::unique_ptr<CKesRecord> WireConnection::ReadRecord()
{
    Bytes payload;
    auto record = std::make_unique<CKesRecord>();
    if (!ReadFrame(payload) ||
        record->KOMDecode(payload.data(), static_cast<unsigned int>(payload.size())) != 1)
        return nullptr;
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
    if (m_Fd >= 0) close(std::exchange(m_Fd, -1));
}

WireListener::WireListener(int backlog) : m_Listen(socket(AF_INET, SOCK_STREAM, 0))
{
    int on = 1;
    setsockopt(m_Listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Ipv4("127.0.0.1", 0);
    socklen_t length = sizeof address;
    if (bind(m_Listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_Listen, backlog) != 0)
        throw std::runtime_error("cannot listen on loopback");
    getsockname(m_Listen, reinterpret_cast<sockaddr*>(&address), &length);
    m_Port = ntohs(address.sin_port);
}

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

unsigned int TcpPair::Release() { return static_cast<unsigned int>(std::exchange(m_Near, -1)); }

} // namespace ksxtest
