// Test peers that speak the wire format over loopback TCP: every record
// travels as a 4-byte big-endian length followed by its KOMEncode bytes.
// Each object belongs to the test thread that made it; a connection's
// Shutdown may be called from another thread to unblock a send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "CKesRecord.h"

namespace ksxtest {

using Bytes = std::vector<unsigned char>;

// How long a peer waits for something that must happen.
constexpr int kWireGuardMs = 30000;

// Pseudo-random bytes, the same for the same seed.
Bytes Pattern(size_t size, unsigned seed);
// The parts one after the other.
Bytes Join(std::initializer_list<Bytes> parts);
// The record's encoding (empty when it cannot be encoded).
Bytes Encode(const CKesRecord& record);
// The payload behind its 4-byte big-endian length.
Bytes Frame(const Bytes& payload);
inline Bytes FrameOf(const CKesRecord& record) { return Frame(Encode(record)); }
// A one-field record {name: text}.
CKesRecord TextRecord(const char* name, const char* text);
// The string value of a field ("" when missing or not a string).
std::string TextOf(const CKesRecord& record, const char* name);
// Whether fd becomes readable within timeoutMs.
bool Readable(int fd, int timeoutMs);

// One TCP connection; owns and closes its handle.
class WireConnection {
public:
    explicit WireConnection(int fd) : m_Fd(fd) {}
    ~WireConnection() { Close(); }
    WireConnection(const WireConnection&) = delete;
    WireConnection& operator=(const WireConnection&) = delete;

    // Connects to a loopback port, retrying while it refuses (guarded).
    static std::unique_ptr<WireConnection> To(unsigned int port);

    // Writes bytes[from, from + count); false once the connection is gone.
    bool SendAll(const Bytes& bytes, size_t from = 0, size_t count = SIZE_MAX);
    bool Send(const CKesRecord& record) { return SendAll(FrameOf(record)); }
    bool SendText(const char* name, const char* text) { return Send(TextRecord(name, text)); }
    // One frame's payload; false at end of stream or when nothing came in time.
    bool ReadFrame(Bytes& payload);
    std::unique_ptr<CKesRecord> ReadRecord();
    // True when the other side ends the connection (and sends nothing first).
    bool SeesEnd();
    // Whether anything (data or the end) arrives within timeoutMs.
    bool Pending(int timeoutMs) const { return Readable(m_Fd, timeoutMs); }
    // Ends the connection but keeps the handle, so a blocked send returns.
    void Shutdown();
    void Close();
    // Gives the handle away without closing it.
    int Release()
    {
        const int fd = m_Fd;
        m_Fd = -1;
        return fd;
    }

private:
    bool ReadExactly(unsigned char* out, size_t length);
    int m_Fd = -1;
};

// A listening socket on a free loopback port.
class WireListener {
public:
    WireListener();
    ~WireListener();
    WireListener(const WireListener&) = delete;
    WireListener& operator=(const WireListener&) = delete;
    int Port() const { return m_Port; }
    // The next connection, or nullptr when none came in time.
    std::unique_ptr<WireConnection> Accept();
    // Whether a connection waits to be accepted within timeoutMs.
    bool Pending(int timeoutMs) const { return Readable(m_Listen, timeoutMs); }

private:
    int m_Listen = -1;
    int m_Port = 0;
};

// A connected pair of loopback TCP sockets: Near() is the side handed to
// the code under test (not closed here once Release() gave it away); the
// peer side stays open while the pair exists.
class TcpPair {
public:
    TcpPair();
    ~TcpPair();
    TcpPair(const TcpPair&) = delete;
    TcpPair& operator=(const TcpPair&) = delete;
    unsigned int Near() const { return static_cast<unsigned int>(m_Near); }
    // Gives the near side away (to an object that closes it).
    unsigned int Release();
    WireConnection& Far() { return *m_Far; }

private:
    int m_Near = -1;
    std::unique_ptr<WireConnection> m_Far;
};

} // namespace ksxtest
