// CKesObjSockServer and the installation key: the challenge on a new
// connection, the client's proof and the server's own, refusing peers that
// hold no key or another one, and proving address replies. The exchange is
// described in docs/protocol.md ("Authentication").
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "CKesAtom.h"
#include "CKesInstallationKey.h"
#include "CKesObjSockServer.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"
#include "CKesSockEngine.h"
#include "KesCheck.h"
#include "KesErrorCodes.h"

namespace {

const char* const kSource = "CKesObjSockServer";

// The peer's address without its port, which changes with each connection.
std::string PeerHost(CKesSockEnd* client)
{
    char* address = client->KSEGetEndPtIpAddress();
    std::string host = address ? address : "?";
    free(address);
    return host;
}

std::unique_ptr<CKesRecord> Refusal(const char* why)
{
    auto refusal = std::make_unique<CKesRecord>();
    refusal->KRAddValue(CKesInstallationKey::ms_RefusedField, why);
    return refusal;
}

} // namespace

int CKesObjSockServer::SignReply(CKesRecord& reply, const CKesRecord& request)
{
    return m_Controller ? m_Controller->KSEGetInstallationKey()->KIKSignReply(reply, request) : 1;
}

// Accept thread, before the engine reads the socket: nothing else has been
// written to it, so the small frame fits its empty send buffer.
void CKesObjSockServer::ChallengeClient(CKesSockEnd* client, Connection& connection)
{
    CKesInstallationKey* key = m_Controller ? m_Controller->KSEGetInstallationKey() : nullptr;
    if (!key || !key->KIKIsMember()) return;
    connection.proved = false;
    CKesInstallationKey::KIKNewNonce(connection.nonce);
    CKesRecord challenge;
    challenge.KRAddValue(CKesInstallationKey::ms_ChallengeField,
                         CKesAtom(connection.nonce, CKesInstallationKey::ms_NonceBytes));
    CKesRecHdr frame;
    const int socket = static_cast<int>(client->KSEGetEndPointSocket());
    ssize_t sent = -1;
    if (frame.KRHFrameRecord(challenge) == 1) {
        do {
            sent = send(socket, frame.KRHGetData(), static_cast<size_t>(frame.KRHGetTotalLen()),
                        MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
    }
    // A connection that cannot take it is gone already; the receive path removes it.
    if (sent != frame.KRHGetTotalLen()) {
        connection.closing = true;
        shutdown(socket, SHUT_RDWR);
    }
}

// Caller holds the identify lock; the connection is unconfirmed. A member
// takes the client's answer (its nonce and proof) and answers with its own
// proof; anything else before the proof closes the connection, and so does a
// wrong proof. A server that is no member closes a connection whose client
// offers a proof. Each refusal is reported once per peer address.
bool CKesObjSockServer::TakeProofRecord(CKesSockEnd* client, Connection* connection, CKesRecord* record,
                                        ProofStep* step)
{
    KES_CHECK(m_IdentifyLock.IsHeldByMe(), "caller holds the identify lock");
    CKesInstallationKey* key = m_Controller ? m_Controller->KSEGetInstallationKey() : nullptr;
    if (!key) return false;
    const unsigned char* clientNonce = CKesInstallationKey::KIKBytesOf(
        *record, CKesInstallationKey::ms_NonceField, CKesInstallationKey::ms_NonceBytes);
    const CKesAtom* refused = record->KRValueOf(CKesInstallationKey::ms_RefusedField);
    const std::string reason = refused && refused->KAString() ? refused->KAString() : "no reason given";
    const std::string from = "connection from " + PeerHost(client);
    if (!key->KIKIsMember()) {
        if (!clientNonce && !CKesInstallationKey::KIKIsProofRecord(*record)) return false;
        step->report = refused ? from + " refused this server (" + reason + "): closed"
                               : from + " proves an installation key and this process has none: closed";
    } else if (connection && connection->proved) {
        return false; // proved: on to the client id
    } else if (connection && connection->closing) {
        delete record;
        return true;
    } else if (refused) {
        step->report = from + " refused this server (" + reason + "): closed";
    } else if (connection && clientNonce &&
               key->KIKCheckProof(true, connection->nonce, clientNonce, *record)) {
        unsigned char proof[CKesInstallationKey::ms_MacBytes];
        key->KIKProve(false, connection->nonce, clientNonce, proof);
        connection->proved = true;
        step->answer = std::make_unique<CKesRecord>();
        step->answer->KRAddValue(CKesInstallationKey::ms_ProofField, CKesAtom(proof, sizeof proof));
        delete record;
        return true;
    } else if (record->KRValueOf(CKesInstallationKey::ms_ProofField)) {
        step->answer = Refusal("the proof does not match this server's installation key");
        step->report = from + " proved another installation key: closed";
    } else {
        step->answer = Refusal("this server takes part only with holders of its installation key");
        step->report = from + " sent a record without proving the installation key (it holds none): closed";
    }
    step->close = true;
    if (connection) {
        connection->closing = true;
        connection->early.clear();
    }
    key->KIKCountRefusal();
    delete record;
    return true;
}

// Caller holds the endpoint lock. Reports a refusal, sends the proof or the
// refusal, then closes a refused connection (the receive path removes it).
void CKesObjSockServer::FinishProofStep(CKesSockEnd* client, ProofStep& step)
{
    KES_CHECK(!m_IdentifyLock.IsHeldByMe(), "the identify lock is released");
    if (!step.report.empty() && m_Controller)
        m_Controller->KSEGetInstallationKey()->KIKReportOnce(kSource, __LINE__, PeerHost(client),
                                                             step.report);
    if (step.answer) {
        CKesRecHdr frame;
        if (frame.KRHFrameRecord(*step.answer) == 1)
            SendFrame(std::span(&client, 1), frame.KRHGetData(),
                      static_cast<unsigned int>(frame.KRHGetTotalLen()),
                      "KOSS::KOSSSendToClient sending packet ");
    }
    if (step.close) shutdown(static_cast<int>(client->KSEGetEndPointSocket()), SHUT_RDWR);
}
