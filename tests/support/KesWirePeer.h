// Loopback TCP peers speaking the wire format (4-byte big-endian length, then KOMEncode bytes).
// Owned by one test thread; only Shutdown may come from another, to unblock a send.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CKesRecord.h"

namespace ksxtest {

using Bytes = std::vector<unsigned char>;

constexpr int kWireGuardMs = 30000;

// Seeded pseudo-random bytes.
Bytes Pattern(size_t size, unsigned seed);
Bytes Join(std::initializer_list<Bytes> parts);
Bytes Encode(const CKesRecord& record); // empty when it cannot be encoded
Bytes Frame(const Bytes& payload);
inline Bytes FrameOf(const CKesRecord& record) { return Frame(Encode(record)); }
CKesRecord TextRecord(const char* name, const char* text);
std::string TextOf(const CKesRecord& record, const char* name); // "" unless a string field
// The "data" field, the one the test servers and clients log and echo; the frame of a record of it alone.
inline std::string DataOf(const CKesRecord& record) { return TextOf(record, "data"); }
inline Bytes FramedData(const std::string& text) { return FrameOf(TextRecord("data", text.c_str())); }
// The bytes that many times over, built in place: a test that floods measures its peak memory.
Bytes Repeat(const Bytes& bytes, size_t times);
bool Readable(int fd, int timeoutMs);
int Unread(int fd); // bytes the kernel holds for reading on fd; -1 when it cannot tell
sockaddr_in Ipv4(const char* address, int port);

class WireConnection {
public:
    explicit WireConnection(int fd) : m_Fd(fd) {}
    ~WireConnection() { Close(); }
    WireConnection(const WireConnection&) = delete;
    WireConnection& operator=(const WireConnection&) = delete;

    // Retries while the port refuses (guarded).
    static std::unique_ptr<WireConnection> To(unsigned int port);

    // Writes bytes[from, from + count); false once the connection is gone.
    bool SendAll(const Bytes& bytes, size_t from = 0, size_t count = SIZE_MAX);
    bool Send(const CKesRecord& record) { return SendAll(FrameOf(record)); }
    bool SendText(const char* name, const char* text) { return Send(TextRecord(name, text)); }
    bool ReadFrame(Bytes& payload); // false at end of stream or when nothing came in time
    std::unique_ptr<CKesRecord> ReadRecord();
    bool SeesEnd(); // the other side ends the connection, sending nothing first
    bool Pending(int timeoutMs) const { return Readable(m_Fd, timeoutMs); }
    void Shutdown();                               // keeps the handle, so that a blocked send returns
    void EndSending() { shutdown(m_Fd, SHUT_WR); } // the peer reads the end; answers still come
    void Close();
    int Release() { return std::exchange(m_Fd, -1); } // without closing

private:
    bool ReadExactly(unsigned char* out, size_t length);
    int m_Fd = -1;
};

class WireListener {
public:
    explicit WireListener(int backlog = 8);
    ~WireListener();
    WireListener(const WireListener&) = delete;
    WireListener& operator=(const WireListener&) = delete;
    int Port() const { return m_Port; }
    int Fd() const { return m_Listen; }
    std::unique_ptr<WireConnection> Accept(); // nullptr when none came in time
    bool Pending(int timeoutMs) const { return Readable(m_Listen, timeoutMs); }

private:
    int m_Listen = -1;
    int m_Port = 0;
};

// Near() goes to the code under test (closed here unless Release()d); Far() stays open with the pair.
class TcpPair {
public:
    TcpPair();
    ~TcpPair();
    unsigned int Near() const { return static_cast<unsigned int>(m_Near); }
    unsigned int Release();
    WireConnection& Far() { return *m_Far; }

private:
    int m_Near = -1;
    std::unique_ptr<WireConnection> m_Far;
};

} // namespace ksxtest
