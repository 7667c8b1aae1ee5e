// CKesInstallationKey: the installation key, the MACs of discovery datagrams,
// the request nonces a reply must carry, the proofs of the connection
// handshake and the once-per-peer reports. See the header and
// docs/protocol.md ("Authentication").
#include "CKesInstallationKey.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "CKesAtom.h"
#include "CKesEnv.h"
#include "CKesError.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

namespace {

const char* const kSource = "CKesInstallationKey";

// Labels that keep the three kinds of MAC apart; each is hashed with its
// terminating zero byte ahead of the authenticated bytes.
const char kDatagramLabel[] = "ksx-discovery";
const char kClientLabel[] = "ksx-client-proof";
const char kServerLabel[] = "ksx-server-proof";

// The MAC entry as the datagram's last entry: a fixstr key of 14 bytes, then
// bin8 of 32 bytes. The MAC covers every byte of the datagram before it.
constexpr unsigned char kFixStr14 = 0xa0 | 14;
constexpr unsigned char kBin8 = 0xc4;
constexpr size_t kMacKeyLength = 14;
constexpr size_t kMacEntryBytes = 1 + kMacKeyLength + 2 + CKesInstallationKey::ms_MacBytes;

bool SodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// The offset of the MAC entry when the datagram ends with a well-formed one.
bool MacEntryAt(const unsigned char* bytes, size_t length, size_t* offset)
{
    static_assert(sizeof("KesSockAuthMAC") - 1 == kMacKeyLength, "the MAC key is a 14-byte fixstr");
    if (!bytes || length <= kMacEntryBytes) return false;
    const unsigned char* entry = bytes + length - kMacEntryBytes;
    if (entry[0] != kFixStr14 || memcmp(entry + 1, CKesInstallationKey::ms_MacField, kMacKeyLength) != 0 ||
        entry[1 + kMacKeyLength] != kBin8 || entry[2 + kMacKeyLength] != CKesInstallationKey::ms_MacBytes)
        return false;
    *offset = length - kMacEntryBytes;
    return true;
}

bool HasAuthFields(const CKesRecord& record)
{
    return record.KRValueOf(CKesInstallationKey::ms_NonceField) ||
           record.KRValueOf(CKesInstallationKey::ms_MacField);
}

const char* TextOf(const CKesRecord& record, const char* name)
{
    const CKesAtom* value = record.KRValueOf(name);
    return value && value->KAType() == KES_DT_STRING && value->KAString() ? value->KAString() : "?";
}

} // namespace

CKesInstallationKey::CKesInstallationKey() { SodiumReady(); }

CKesInstallationKey::~CKesInstallationKey() { Wipe(); }

void CKesInstallationKey::Wipe() { sodium_memzero(m_Key, sizeof m_Key); }

std::string CKesInstallationKey::KIKDefaultPath()
{
    CKesAtom home = CKesEnv::KEQBHome();
    return std::string(home.KAString() ? home.KAString() : "") + "/etc/ostravine/Installation.key";
}

int CKesInstallationKey::KIKLoadFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return KIKSetKey(nullptr, 0);
    std::string why;
    unsigned char key[ms_KeyBytes + 1];
    ssize_t got = -1;
    struct stat status {};
    if (fd < 0)
        why = std::string("cannot be opened (") + strerror(errno) + ")";
    else if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        why = "is not a regular file";
    else if ((status.st_mode & (S_IRWXO | S_IWGRP)) != 0)
        why = "may be read or written by others, or written by its group (use mode 0600 or 0640)";
    else if ((got = read(fd, key, sizeof key)) != static_cast<ssize_t>(ms_KeyBytes))
        why = "does not hold exactly 32 bytes";
    if (fd >= 0) close(fd);
    if (why.empty()) {
        const int result = KIKSetKey(key, ms_KeyBytes);
        sodium_memzero(key, sizeof key);
        return result;
    }
    sodium_memzero(key, sizeof key);
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        Wipe();
        m_Member = true;
        m_Usable = false;
    }
    CKesError(
        KES_ERR_AUTH_KEY, kSource, __LINE__,
        ("Installation key file " + path + " " + why + ": this process refuses every peer until it is fixed")
            .c_str());
    return KES_ERR_AUTH_KEY;
}

int CKesInstallationKey::KIKSetKey(const unsigned char* key, unsigned int length)
{
    if ((key == nullptr) != (length == 0) || (key && length != ms_KeyBytes)) return KES_ERR_ARGUMENT;
    std::lock_guard<std::mutex> hold(m_Lock);
    Wipe();
    m_Member = m_Usable = key != nullptr;
    if (key) memcpy(m_Key, key, ms_KeyBytes);
    m_Outstanding.clear();
    return 1;
}

bool CKesInstallationKey::KIKIsMember() const
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_Member;
}

// ---- discovery --------------------------------------------------------------------------------

bool CKesInstallationKey::DatagramMac(const unsigned char* bytes, size_t length, unsigned char* mac) const
{
    if (!m_Usable) return false;
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, m_Key, ms_KeyBytes);
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(kDatagramLabel),
                                  sizeof kDatagramLabel);
    crypto_auth_hmacsha256_update(&state, bytes, length);
    crypto_auth_hmacsha256_final(&state, mac);
    sodium_memzero(&state, sizeof state);
    return true;
}

// Appends the MAC entry: encoded once with a zero MAC to learn the bytes it
// covers, then given the MAC, which the encoding writes in the same place.
int CKesInstallationKey::Sign(CKesRecord& record) const
{
    if (record.KRValueOf(ms_MacField)) return KES_ERR_ARGUMENT;
    unsigned char mac[ms_MacBytes] = {};
    if (record.KRAddValue(ms_MacField, CKesAtom(mac, sizeof mac)) != 1) return KES_ERR_ALLOCATION;
    unsigned char* encoded = nullptr;
    unsigned int length = 0;
    record.KOMEncode(&encoded, &length);
    size_t covered = 0;
    bool made = false;
    if (encoded && MacEntryAt(encoded, length, &covered)) {
        std::lock_guard<std::mutex> hold(m_Lock);
        made = DatagramMac(encoded, covered, mac);
    }
    free(encoded);
    if (!made) return KES_ERR_AUTH_KEY;
    *record.KRValueOf(ms_MacField) = CKesAtom(mac, sizeof mac);
    return 1;
}

int CKesInstallationKey::KIKSignRequest(CKesRecord& request, const char* service)
{
    if (!service) return KES_ERR_ARGUMENT;
    Nonce nonce;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (!m_Member) return 1;
        if (!m_Usable) return KES_ERR_AUTH_KEY;
        KIKNewNonce(nonce.data());
        std::deque<Nonce>& kept = m_Outstanding[service];
        kept.push_back(nonce);
        if (kept.size() > ms_OutstandingRequests) kept.pop_front();
        NoteHeard(nonce.data());
    }
    if (request.KRAddValue(ms_NonceField, CKesAtom(nonce.data(), nonce.size())) != 1)
        return KES_ERR_ALLOCATION;
    return Sign(request);
}

int CKesInstallationKey::KIKSignReply(CKesRecord& reply, const CKesRecord& request) const
{
    if (!KIKIsMember()) return 1;
    const unsigned char* nonce = KIKBytesOf(request, ms_NonceField, ms_NonceBytes);
    if (!nonce) return KES_ERR_AUTH;
    if (reply.KRAddValue(ms_NonceField, CKesAtom(nonce, ms_NonceBytes)) != 1) return KES_ERR_ALLOCATION;
    return Sign(reply);
}

// Caller holds m_Lock. Requests heard on the group (this process's own
// included) within the window, oldest first, at most ms_HeardCap.
void CKesInstallationKey::NoteHeard(const unsigned char* nonce)
{
    Heard heard;
    memcpy(heard.nonce.data(), nonce, ms_NonceBytes);
    heard.at = std::chrono::steady_clock::now();
    m_Heard.push_back(heard);
    if (m_Heard.size() > ms_HeardCap) m_Heard.pop_front();
}

// Caller holds m_Lock.
bool CKesInstallationKey::HeardRecently(const unsigned char* nonce)
{
    const auto window = std::chrono::milliseconds(static_cast<long long>(ms_HeardWindowMs * KesTimeScale()));
    const auto now = std::chrono::steady_clock::now();
    while (!m_Heard.empty() && now - m_Heard.front().at > window) m_Heard.pop_front();
    bool heard = false;
    for (const Heard& request : m_Heard)
        heard = heard || sodium_memcmp(request.nonce.data(), nonce, ms_NonceBytes) == 0;
    return heard;
}

// Caller holds m_Lock.
bool CKesInstallationKey::Outstanding(const char* service, const unsigned char* nonce) const
{
    auto kept = m_Outstanding.find(service);
    bool asked = false;
    if (kept != m_Outstanding.end())
        for (const Nonce& sent : kept->second)
            asked = asked || sodium_memcmp(sent.data(), nonce, ms_NonceBytes) == 0;
    return asked;
}

// Caller holds m_Lock; the datagram is a request or a reply. Empty when it
// is admitted (*drop false) or silently dropped (*drop true: a member's
// answer to another process); otherwise why it is refused.
std::string CKesInstallationKey::CheckDatagram(const unsigned char* bytes, unsigned int length,
                                               const CKesRecord& record, bool reply, bool* drop)
{
    *drop = false;
    size_t covered = 0;
    unsigned char mac[ms_MacBytes];
    const unsigned char* nonce = KIKBytesOf(record, ms_NonceField, ms_NonceBytes);
    if (!MacEntryAt(bytes, length, &covered) || !DatagramMac(bytes, covered, mac) ||
        crypto_verify_32(mac, bytes + length - ms_MacBytes) != 0 || !nonce)
        return "fails the installation-key check (forged, damaged or made with another key): dropped";
    if (!reply) {
        NoteHeard(nonce);
        return "";
    }
    if (Outstanding(TextOf(record, CKesSockEnd::ms_ServiceNameField), nonce)) return "";
    *drop = true;
    if (HeardRecently(nonce)) return ""; // answers another process's request
    return "answers no request heard lately (replayed or unasked for): dropped";
}

bool CKesInstallationKey::KIKAdmitDatagram(const unsigned char* bytes, unsigned int length,
                                           const CKesRecord& record, const sockaddr* sender,
                                           unsigned int senderLength)
{
    const bool reply = record.KRValueOf(CKesSockEnd::ms_AddressReply) != nullptr;
    const bool request = !reply && record.KRValueOf(CKesSockEnd::ms_AddressRequest) != nullptr;
    if (!reply && !request) return true;
    const std::string kinds = reply ? "address replies" : "address requests";
    const std::string host = KIKPeerText(sender, senderLength, false);
    std::string refusal; // rate-limited: anyone can send any number of these
    bool member = false;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        member = m_Member;
        if (m_Member == HasAuthFields(record)) {
            bool drop = false;
            if (m_Member) refusal = CheckDatagram(bytes, length, record, reply, &drop);
            if (refusal.empty()) return !drop;
        }
        ++m_Refusals;
    }
    if (!refusal.empty()) {
        refusal = std::string(reply ? "address reply" : "address request") + " from " +
                  KIKPeerText(sender, senderLength) + " " + refusal;
        KesReportLimited(KES_ERR_AUTH, kSource, __LINE__, refusal.c_str());
    } else if (member) {
        KIKReportOnce(kSource, __LINE__, host,
                      kinds + " from " + host +
                          " carry no installation-key proof (the sender is not a member): ignored");
    } else {
        KIKReportOnce(kSource, __LINE__, host,
                      kinds + " from " + host +
                          " prove an installation key and this process has none: ignored");
    }
    return false;
}

void CKesInstallationKey::KIKForgetRequests(const char* service)
{
    if (!service) return;
    std::lock_guard<std::mutex> hold(m_Lock);
    m_Outstanding.erase(service);
}

// ---- connections --------------------------------------------------------------------------

void CKesInstallationKey::KIKNewNonce(unsigned char* nonce)
{
    SodiumReady();
    randombytes_buf(nonce, ms_NonceBytes);
}

void CKesInstallationKey::KIKNewKey(unsigned char* key)
{
    SodiumReady();
    randombytes_buf(key, ms_KeyBytes);
}

bool CKesInstallationKey::KIKProve(bool clientSide, const unsigned char* serverNonce,
                                   const unsigned char* clientNonce, unsigned char* proof) const
{
    const char* label = clientSide ? kClientLabel : kServerLabel;
    std::lock_guard<std::mutex> hold(m_Lock);
    if (!m_Usable || !serverNonce || !clientNonce) return false;
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, m_Key, ms_KeyBytes);
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(label), strlen(label) + 1);
    crypto_auth_hmacsha256_update(&state, serverNonce, ms_NonceBytes);
    crypto_auth_hmacsha256_update(&state, clientNonce, ms_NonceBytes);
    crypto_auth_hmacsha256_final(&state, proof);
    sodium_memzero(&state, sizeof state);
    return true;
}

bool CKesInstallationKey::KIKCheckProof(bool clientSide, const unsigned char* serverNonce,
                                        const unsigned char* clientNonce, const CKesRecord& record) const
{
    const unsigned char* given = KIKBytesOf(record, ms_ProofField, ms_MacBytes);
    unsigned char expected[ms_MacBytes];
    if (!given || !KIKProve(clientSide, serverNonce, clientNonce, expected)) return false;
    return crypto_verify_32(expected, given) == 0;
}

bool CKesInstallationKey::KIKIsProofRecord(const CKesRecord& record)
{
    // Every record a client receives is asked: one pass over the names, and
    // the fields' common prefix turns the others away at their first bytes.
    static constexpr char kPrefix[] = "KesSockAuth";
    for (int i = 0; i < record.KRCount(); ++i) {
        const char* name = record.KRValueAt(i)->KVBName();
        if (strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) continue;
        if (strcmp(name, ms_ChallengeField) == 0 || strcmp(name, ms_ProofField) == 0 ||
            strcmp(name, ms_RefusedField) == 0)
            return true;
    }
    return false;
}

const unsigned char* CKesInstallationKey::KIKBytesOf(const CKesRecord& record, const char* name, size_t size)
{
    const CKesAtom* value = record.KRValueOf(name);
    size_t length = 0;
    const unsigned char* bytes = value ? value->KABytes(&length) : nullptr;
    return bytes && length == size ? bytes : nullptr;
}

// ---- reports ------------------------------------------------------------------------------

bool CKesInstallationKey::KIKReportOnce(const char* source, int line, const std::string& peer,
                                        const std::string& text)
{
    {
        std::lock_guard<std::mutex> hold(m_ReportLock);
        if (m_Told.size() >= ms_PeersRemembered) m_Told.clear();
        if (!m_Told.insert(peer + "\n" + text).second) return false;
    }
    CKesError(KES_ERR_AUTH, source, line, text.c_str());
    return true;
}

std::string CKesInstallationKey::KIKPeerText(const sockaddr* address, unsigned int length, bool withPort)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* inet = reinterpret_cast<const sockaddr_in*>(address);
        if (inet_ntop(AF_INET, &inet->sin_addr, text, sizeof text))
            return withPort ? std::string(text) + ":" + std::to_string(ntohs(inet->sin_port)) : text;
    }
    if (address && address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* inet6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (inet_ntop(AF_INET6, &inet6->sin6_addr, text, sizeof text))
            return withPort ? "[" + std::string(text) + "]:" + std::to_string(ntohs(inet6->sin6_port)) : text;
    }
    return "an unknown sender";
}

long long CKesInstallationKey::KIKRefusals() const
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_Refusals;
}

void CKesInstallationKey::KIKCountRefusal()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    ++m_Refusals;
}
