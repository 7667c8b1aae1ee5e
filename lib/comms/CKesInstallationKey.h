// CKesInstallationKey: the opt-in installation key of one engine and what is
// done with it: proving discovery datagrams (a MAC over the datagram, a nonce
// binding a reply to its request) and the mutual proof at the start of each
// connection. With no key the engine's process is not a member and the wire
// is the plain one; docs/protocol.md ("Authentication") gives the exchange.
//
// Owned by the engine (KSEGetInstallationKey), one per engine; servers,
// clients and tools borrow it. The key comes from the installation's key file
// at the engine's construction, or from KIKSetKey (before servers and clients
// are added). Cryptography is libsodium's: HMAC-SHA-256, its random bytes and
// constant-time comparison. The key is never logged or traced and is wiped
// when replaced or destroyed.
//
// Threads: any; every operation is safe to call concurrently. Locks: m_Lock
// (key, outstanding request nonces, counters) and m_ReportLock (peers told)
// are innermost; nothing else is called while either is held but the
// hashing, and reports are written after they are released.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include <sys/socket.h>

class CKesRecord;

class CKesInstallationKey {
public:
    static constexpr unsigned int ms_KeyBytes = 32;
    static constexpr unsigned int ms_NonceBytes = 16;
    static constexpr unsigned int ms_MacBytes = 32;
    // Request nonces a client (per service) keeps answerable: its last ones.
    static constexpr size_t ms_OutstandingRequests = 4;
    // A member reply whose nonce is not this process's answers another
    // process when its request was heard within this window (time scale);
    // otherwise it is a replay. Requests heard are kept up to the cap.
    static constexpr int ms_HeardWindowMs = 6000;
    static constexpr size_t ms_HeardCap = 1024;
    // Peers remembered for the once-per-peer reports; beyond, the memory starts afresh.

    static constexpr size_t ms_PeersRemembered = 4096;

    // Value names of the authentication fields.
    static constexpr const char* ms_NonceField = "KesSockAuthNonce"; // 16 bytes
    static constexpr const char* ms_MacField = "KesSockAuthMAC";     // 32 bytes, the datagram's last entry
    static constexpr const char* ms_ChallengeField = "KesSockAuthChallenge"; // 16 bytes: the server's nonce
    static constexpr const char* ms_ProofField = "KesSockAuthProof";         // 32 bytes
    static constexpr const char* ms_RefusedField = "KesSockAuthRefused";     // text: why the sender refuses

    CKesInstallationKey();
    ~CKesInstallationKey();

    // The installation's key file, $KSX_HOME/etc/ostravine/Installation.key.
    static std::string KIKDefaultPath();
    // Reads a key file. No file: not a member, 1. A regular file of exactly
    // 32 bytes that neither others may read or write nor the group may write:
    // a member with that key, 1. Any other file: a member without a usable
    // key (it refuses every peer and proves nothing), reported, KES_ERR_AUTH_KEY.
    int KIKLoadFile(const std::string& path);
    // 32 bytes make a member with that key; null with length 0 makes the
    // process a non-member again. Anything else: KES_ERR_ARGUMENT, unchanged.
    int KIKSetKey(const unsigned char* key, unsigned int length);
    bool KIKIsMember() const;

    // ---- discovery ----------------------------------------------------------
    // Adds a fresh nonce (kept as answerable for the service) and the MAC to
    // an address request. 1; nothing added for a non-member; KES_ERR_AUTH_KEY
    // for a member without a usable key.
    int KIKSignRequest(CKesRecord& request, const char* service);
    // Adds the request's nonce and the MAC to an address reply; as above,
    // KES_ERR_AUTH for a request without a nonce.
    int KIKSignReply(CKesRecord& reply, const CKesRecord& request) const;
    // Whether a decoded discovery datagram may be dispatched. A member takes
    // only requests and replies with a valid MAC, and replies only with the
    // nonce of one of its outstanding requests for the reply's service (a
    // valid reply to a request another process made lately is dropped
    // quietly); a non-member takes only those without authentication fields.
    // Other traffic passes. A refusal is counted and reported with the sender.
    bool KIKAdmitDatagram(const unsigned char* bytes, unsigned int length, const CKesRecord& record,
                          const sockaddr* sender, unsigned int senderLength);
    // A client connected to its service asks no more: its nonces go.
    void KIKForgetRequests(const char* service);

    // ---- connections ----------------------------------------------------------
    static void KIKNewNonce(unsigned char* nonce);
    // 32 fresh random bytes, for a new key file.
    static void KIKNewKey(unsigned char* key);
    // The client's (clientSide) or the server's proof over both nonces; false
    // without a usable key.
    bool KIKProve(bool clientSide, const unsigned char* serverNonce, const unsigned char* clientNonce,
                  unsigned char* proof) const;
    bool KIKCheckProof(bool clientSide, const unsigned char* serverNonce, const unsigned char* clientNonce,
                       const CKesRecord& record) const;
    // True for a record of the connection proof (challenge, answer, proof, refusal).
    static bool KIKIsProofRecord(const CKesRecord& record);
    // The 16 or 32 bytes of a field, or null when it is missing or has another size.
    static const unsigned char* KIKBytesOf(const CKesRecord& record, const char* name, size_t size);

    // ---- reports --------------------------------------------------------------
    // Reports (KES_ERR_AUTH) the first time a peer causes this kind of refusal;
    // true when written. peer names the peer without its port where the port
    // changes with each connection.
    bool KIKReportOnce(const char* source, int line, const std::string& peer, const std::string& text);
    // "a.b.c.d:port" of an IPv4 or IPv6 address; "an unknown sender" else.
    static std::string KIKPeerText(const sockaddr* address, unsigned int length, bool withPort = true);
    // Refusals so far (datagrams dropped, connections refused).
    long long KIKRefusals() const;
    void KIKCountRefusal();

private:
    CKesInstallationKey(const CKesInstallationKey&) = delete;
    CKesInstallationKey& operator=(const CKesInstallationKey&) = delete;

    using Nonce = std::array<unsigned char, ms_NonceBytes>;
    // Caller holds m_Lock. The datagram MAC over bytes.
    bool DatagramMac(const unsigned char* bytes, size_t length, unsigned char* mac) const;
    void NoteHeard(const unsigned char* nonce);
    bool HeardRecently(const unsigned char* nonce);
    bool Outstanding(const char* service, const unsigned char* nonce) const;
    std::string CheckDatagram(const unsigned char* bytes, unsigned int length, const CKesRecord& record,
                              bool reply, bool* drop);
    int Sign(CKesRecord& record) const;
    void Wipe();

    mutable std::mutex m_Lock;
    bool m_Member = false;                                  // a key file or a key was given
    bool m_Usable = false;                                  // m_Key holds a key
    unsigned char m_Key[ms_KeyBytes] = {};                  // wiped on replacement and destruction
    std::map<std::string, std::deque<Nonce>> m_Outstanding; // service -> request nonces, newest last
    struct Heard {
        Nonce nonce;
        std::chrono::steady_clock::time_point at;
    };
    std::deque<Heard> m_Heard; // requests heard lately, oldest first
    long long m_Refusals = 0;

    std::mutex m_ReportLock;
    std::set<std::string> m_Told; // "peer\ntext" already reported
};
