// CKesObjSockClient and the installation key: the client's side of the proof
// at the start of each connection (docs/protocol.md, "Authentication"), run
// on the connect thread before the socket is given to the engine, and what a
// client that holds no key does with a member server's challenge.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CKesAtom.h"
#include "CKesInstallationKey.h"
#include "CKesObjSockClient.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

namespace {

const char* const kSource = "CKesObjSockClient";

// The largest proof record a client reads; anything longer is no proof.
constexpr unsigned int kMaxProofRecord = 256;
// How often a wait for the server looks whether the client is being destroyed.
constexpr int kPollSliceMs = 100;
// How long a client that refuses a server waits for it to close (time scale).
constexpr int kRefusalGraceMs = 2000;

using Clock = std::chrono::steady_clock;

std::string ServerText(const CKesSockEnd& server)
{
    char* address = server.KSEGetEndPtIpAddress();
    std::string text =
        std::string(address ? address : "?") + ":" + std::to_string(server.KSEGetEndPtAddressPort());
    free(address);
    return text;
}

// The reason a refusal record gives, or null when the record is none.
const char* RefusalReason(const CKesRecord* record)
{
    const CKesAtom* reason = record ? record->KRValueOf(CKesInstallationKey::ms_RefusedField) : nullptr;
    if (!reason) return nullptr;
    return reason->KAType() == KES_DT_STRING && reason->KAString() ? reason->KAString() : "no reason given";
}

bool WriteAll(int socket, const CKesRecord& record)
{
    CKesRecHdr frame;
    if (frame.KRHFrameRecord(record) != 1) return false;
    const unsigned char* data = frame.KRHGetData();
    size_t left = static_cast<size_t>(frame.KRHGetTotalLen());
    while (left > 0) {
        const ssize_t sent = send(socket, data, left, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        left -= static_cast<size_t>(sent);
    }
    return true;
}

} // namespace

// Reads exactly length bytes before the deadline; false when the connection
// ended, failed, the time ran out or the client is being destroyed (seen
// within one poll slice: the flag is set before the thread lock this pass holds).
bool CKesObjSockClient::ReadBefore(unsigned char* out, size_t length, Clock::time_point deadline, bool* late)
{
    const int socket = static_cast<int>(m_TCPSocket.load());
    while (length > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || KOSCShuttingDown()) {
            *late = true;
            return false;
        }
        pollfd readable{socket, POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(std::min<long long>(left, kPollSliceMs)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        const ssize_t got = recv(socket, out, length, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// One framed record of the proof before the deadline, or null.
std::unique_ptr<CKesRecord> CKesObjSockClient::ReadProofRecord(Clock::time_point deadline, bool* late)
{
    unsigned char header[4];
    if (!ReadBefore(header, sizeof header, deadline, late)) return nullptr;
    uint32_t length = 0;
    memcpy(&length, header, sizeof length);
    length = ntohl(length);
    if (length == 0 || length > kMaxProofRecord) return nullptr;
    unsigned char body[kMaxProofRecord];
    if (!ReadBefore(body, length, deadline, late)) return nullptr;
    auto record = std::make_unique<CKesRecord>();
    if (record->KOMDecode(body, length) != 1) return nullptr;
    return record;
}

// Inside KOSCConnectSocketToServer (an attempt holds the ClientLock): the
// socket has just connected and the engine does not read it yet. A member waits for the server's challenge,
// answers with its nonce and proof and waits for the server's proof, all within the engine's identify
// deadline. False (reported once per server, the refusal told to the server where it can be) when the server
// did not prove the key.
bool CKesObjSockClient::ProveInstallationKey(const CKesSockEnd& server)
{
    CKesInstallationKey* key = m_Controller ? m_Controller->KSEGetInstallationKey() : nullptr;
    if (!key || !key->KIKIsMember()) return true;
    const int deadlineMs = static_cast<int>(m_Controller->KSEGetIdentifyDeadline() * KesTimeScale());
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(1, deadlineMs));

    bool late = false;
    std::unique_ptr<CKesRecord> challenge = ReadProofRecord(deadline, &late);
    const unsigned char* serverNonce =
        challenge ? CKesInstallationKey::KIKBytesOf(*challenge, CKesInstallationKey::ms_ChallengeField,
                                                    CKesInstallationKey::ms_NonceBytes)
                  : nullptr;
    // Cut short because the client is being destroyed: no verdict on the
    // server, nothing counted or reported, no refusal sent.
    if (!challenge && KOSCShuttingDown()) return false;
    std::string why;
    if (const char* reason = RefusalReason(challenge.get())) {
        why = std::string("refused this client (") + reason + ")";
    } else if (!serverNonce) {
        why = late ? "sent no installation-key challenge in time (it holds no key)"
                   : "did not start the installation-key proof (it holds no key)";
        RefuseServer();
    } else {
        why = AnswerChallenge(*key, serverNonce, deadline);
    }
    if (why.empty()) {
        key->KIKForgetRequests(m_ServiceName); // connected: no reply is awaited any more
        return true;
    }
    if (KOSCShuttingDown()) return false; // the answer cut short likewise
    key->KIKCountRefusal();
    const std::string at = ServerText(server);
    key->KIKReportOnce(kSource, __LINE__, at, "server at " + at + " " + why + ": connection closed");
    return false;
}

// Inside the proof. Sends the client's nonce and proof and checks
// the server's; "" when it proved the key, else why not.
std::string CKesObjSockClient::AnswerChallenge(const CKesInstallationKey& key,
                                               const unsigned char* serverNonce, Clock::time_point deadline)
{
    unsigned char clientNonce[CKesInstallationKey::ms_NonceBytes];
    unsigned char proof[CKesInstallationKey::ms_MacBytes];
    CKesInstallationKey::KIKNewNonce(clientNonce);
    if (!key.KIKProve(true, serverNonce, clientNonce, proof))
        return "was not tried: this process's installation key file cannot be used";
    CKesRecord reply;
    reply.KRAddValue(CKesInstallationKey::ms_NonceField, CKesAtom(clientNonce, sizeof clientNonce));
    reply.KRAddValue(CKesInstallationKey::ms_ProofField, CKesAtom(proof, sizeof proof));
    bool late = false;
    std::unique_ptr<CKesRecord> answer =
        WriteAll(static_cast<int>(m_TCPSocket.load()), reply) ? ReadProofRecord(deadline, &late) : nullptr;
    if (answer && key.KIKCheckProof(false, serverNonce, clientNonce, *answer)) return "";
    if (const char* reason = RefusalReason(answer.get()))
        return std::string("refused this client (") + reason + ")";
    if (answer && answer->KRValueOf(CKesInstallationKey::ms_ProofField))
        return "proved another installation key";
    return late ? "did not prove the installation key in time" : "did not prove the installation key";
}

// Inside the proof. Tells a server that sent no challenge why the
// client goes, and waits briefly for it to close first, so that it has read
// the reason before it sees the end.
void CKesObjSockClient::RefuseServer()
{
    CKesRecord refusal;
    refusal.KRAddValue(CKesInstallationKey::ms_RefusedField,
                       "this client takes part only with holders of its installation key");
    if (!WriteAll(static_cast<int>(m_TCPSocket.load()), refusal)) return;
    const Clock::time_point until =
        Clock::now() +
        std::chrono::milliseconds(std::max(1, static_cast<int>(kRefusalGraceMs * KesTimeScale())));
    unsigned char ignored;
    bool over = false;
    while (ReadBefore(&ignored, 1, until, &over)) {}
}

// A worker, for a record on the connection. A client without a key drops
// the records of a member server's proof, saying once per server why.
bool CKesObjSockClient::DropProofRecord(const CKesRecord& record)
{
    if (!CKesInstallationKey::KIKIsProofRecord(record)) return false;
    CKesInstallationKey* key = m_Controller ? m_Controller->KSEGetInstallationKey() : nullptr;
    if (!key || key->KIKIsMember()) return false;
    std::shared_ptr<CKesSockEnd> server = ServerSnapshot();
    const std::string at = server ? ServerText(*server) : "?";
    key->KIKCountRefusal();
    key->KIKReportOnce(kSource, __LINE__, at,
                       "server at " + at + " requires an installation key and this process has none");
    return true;
}
