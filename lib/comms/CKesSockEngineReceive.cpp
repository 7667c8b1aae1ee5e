// CKesSockEngine's receive path: OnIO reads a readable socket on the
// event-loop thread, KSECheckSockPacket splits TCP data into packets and
// keeps and rejoins fragments, and the worker pool routes each packet to its
// owner (KSEProcessIO, KSEWorkerProc).
#include "CKesSockEngine.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "CKesAtom.h"
#include "CKesAutoMutex.h"
#include "CKesError.h"
#include "CKesIOWorkPacket.h"
#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesPageFiller.h"
#include "CKesRecHdr.h"
#include "CKesReceiveBacklog.h"
#include "CKesServPool.h"
#include "CKesStack.h"
#include "CKesTreeList.h"
#include "CKesVarBind.h"
#include "KesCheck.h"
#include "KesDecodeReport.h"
#include "KesEngineTables.h"
#include "KesErrorCodes.h"

using kesengine::kSource;
using kesengine::OwnedBytes;
using kesengine::OwnedPacket;
using kesengine::OwnedSource;
using kesengine::SocketKey;
using kesengine::TableValue;

namespace {

// The size of the source address buffer for a socket: that of its family as
// getsockname reports it (IPv4 for the invalid socket).
unsigned int SourceAddressLength(unsigned int socket)
{
    if (socket == KES_INVALID_SOCKET) return KES_SOCKADDR_IN_LEN;
    sockaddr_storage name{};
    socklen_t nameLength = sizeof(name);
    int family = -1;
    if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&name), &nameLength) == 0)
        family = name.ss_family;
    if (family == AF_INET) return KES_SOCKADDR_IN_LEN;
    if (family == AF_INET6) return KES_SOCKADDR_IN6_LEN;
    CKesError(KES_ERR_ADDRESS_FAMILY, kSource, __LINE__, "Socket address family is neither IPv4 nor IPv6");
    return KES_SOCKADDR_IN_LEN;
}

// True when the socket is a datagram socket; a failed query counts as stream.
bool IsDatagramSocket(unsigned int socket)
{
    int type = SOCK_STREAM;
    socklen_t typeLength = sizeof(type);
    if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0) {
        if (__Kesworks_Debug_Level != 0) fputs("netGetSockType failed", stderr);
        return false;
    }
    return type == SOCK_DGRAM;
}

// The thread rule of OnIO and the fragment steps (checked builds): the
// event-loop thread alone while a loop runs, since a socket's fragment is
// taken out of the table, completed and put back without the engine lock.
// While no loop runs, any one thread may stand in for it (tests and
// benchmarks hand reads to KSECheckSockPacket directly).
[[maybe_unused]] constexpr const char* kLoopThreadRule =
    "the receive path runs on the event-loop thread, or on any thread while no loop runs";

[[maybe_unused]] bool MayRunReceivePath(const CKesRvNet& loop)
{
    return !loop.KRNIsRunning() || loop.KRNIsLoopThread();
}

// The data length a fragment's header declared, or -1 while its header is
// incomplete. A fragment whose header is complete holds its payload alone
// (KeepTail takes the header off), so the payload needs no move once whole.
long long DeclaredLength(const CKesIOWorkPacket& fragment)
{
    if (fragment.KIWPGetStrippedLength() >= 0) return fragment.KIWPGetStrippedLength();
    return CKesRecHdr::KRHPeekDataLen(fragment.KIWPGetPacket(), fragment.KIWPGetPacketLength());
}

// Bytes of a fragment's packet held, its header counted whether or not it
// has been taken off.
unsigned long long HeldWithHeader(const CKesIOWorkPacket& fragment)
{
    const bool stripped = fragment.KIWPGetStrippedLength() >= 0;
    return fragment.KIWPGetPacketLength() + (stripped ? CKesRecHdr::ms_HeaderLength : 0ull);
}

// A copy of a source address, for a step that outlives the original.
OwnedSource CopySource(const sockaddr* address, unsigned int length)
{
    OwnedSource copy;
    if (address == nullptr || length == 0) return copy;
    copy.address.reset(static_cast<sockaddr*>(malloc(length)));
    if (copy.address == nullptr) return copy;
    memcpy(copy.address.get(), address, length);
    copy.length = length;
    return copy;
}

OwnedSource CopySource(const CKesIOWorkPacket& packet)
{
    return CopySource(packet.KIWPGetSource(), packet.KIWPGetSourceLen());
}

OwnedSource CopySource(const OwnedSource& source) { return CopySource(source.address.get(), source.length); }

// A large fragment buffer is filled page by page as its packet arrives.
// Each first touch of a page is a page fault of its own (some 16,000 for a
// 64 MiB packet, each an exception into a virtual machine's kernel): the
// grown part is populated instead, by the engine's page filler while the
// loop thread reads into the front, or by the loop thread in one call when
// there is no filler. The buffer only grows as bytes arrive (doubling), so
// this takes no memory that the reassembly limit does not count already. No
// advice that changes the mapping's flags (huge pages): it splits the
// mapping, and the next realloc can then no longer move it with mremap but
// copies the whole block. Systems without the request simply fault as
// before.
constexpr unsigned long long kWorthPopulating = 1u << 20;

} // namespace

void kesengine::DeletePacket::operator()(CKesIOWorkPacket* packet) const noexcept
{
    CKesIOWorkPacket::KIWPDelete(packet);
}

// ---- the fragment table and the pool -----------------------------------------

int CKesSockEngine::Queue(OwnedPacket packet, int line)
{
    int result = m_IOPool != nullptr ? m_IOPool->KSPAddWorkDetail(packet.get()) : KES_ERR_ARGUMENT;
    if (result == 1) {
        static_cast<void>(packet.release()); // the pool's now
        return 1;
    }
    // The pool refused it (it is closing): nobody will process the packet.
    CKesError(result, kSource, line, "Packet not queued to the IO pool, dropped");
    return result;
}

int CKesSockEngine::QueueCharged(OwnedPacket packet, int line)
{
    packet->KIWPCharge(BacklogOf(packet->KIWPGetSocket()));
    return Queue(std::move(packet), line);
}

int CKesSockEngine::QueueCompleted(OwnedPacket fragment, int line)
{
    fragment->KIWPStopFilling();
    fragment->KIWPSetStrippedLength(-1);
    fragment->KIWPSetReassemblyCharge(0); // a queued packet now: the backlog counts it
    return QueueCharged(std::move(fragment), line);
}

CKesReceiveBacklog* CKesSockEngine::BacklogOf(unsigned int socket)
{
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    return BacklogOf(socket, m_ReadStates[socket]);
}

CKesReceiveBacklog* CKesSockEngine::BacklogOf(unsigned int socket, ReadState& state)
{
    // One per handle for the engine's life, so that packets point at it
    // without counting references; a new registration of the handle (a new
    // connection) renews it. Bytes belong to the registration they were read
    // under: a read that another thread's removal overtook still charges that
    // registration, so its packets are known to be from an ended connection
    // and never reach whoever gets the handle next. A read handed over
    // directly (no dispatch) belongs to the current registration, or, when
    // there is none any more, to the last one read.
    const uint32_t generation = m_ReadGeneration != 0 ? m_ReadGeneration : KRNGetGeneration(socket);
    std::shared_ptr<CKesReceiveBacklog>& backlog = state.backlog;
    if (generation == 0 && backlog != nullptr) return backlog.get();
    if (backlog == nullptr)
        backlog = std::make_shared<CKesReceiveBacklog>(this, socket, generation, KSEGetReceiveBacklogCap());
    else if (backlog->Generation() != generation)
        backlog->Renew(generation, KSEGetReceiveBacklogCap());
    return backlog.get();
}

void CKesSockEngine::ApplyBackPressure(unsigned int socket)
{
    ApplyBackPressure(socket, m_ReadStates[socket]);
}

void CKesSockEngine::ApplyBackPressure(unsigned int socket, const ReadState& state)
{
    const std::shared_ptr<CKesReceiveBacklog>& backlog = state.backlog;
    if (backlog == nullptr || !backlog->PauseIfFull()) return;
    if (KesTraceOn(2))
        KesTrace("Socket %u: backlog of %lld bytes, reading paused\n", socket, backlog->Bytes());
}

void CKesSockEngine::ReportPeer(int code, int line, unsigned int socket, const sockaddr* source,
                                unsigned int sourceLength, const char* what)
{
    char peer[96];
    KesDescribePeer(peer, sizeof peer, socket, source, sourceLength);
    char text[256];
    snprintf(text, sizeof text, "%s (%s)", what, peer);
    KesReportLimited(code, kSource, line, text);
}

OwnedPacket CKesSockEngine::TakeFragment(unsigned int socket)
{
    CKesAtom key = SocketKey(socket);
    CKesAutoMutex hold(m_EngineLock);
    return DetachFragment(key);
}

OwnedPacket CKesSockEngine::DetachFragment(const CKesAtom& key)
{
    OwnedPacket fragment(static_cast<CKesIOWorkPacket*>(TableValue(m_FragmentTable, key)));
    if (fragment != nullptr) m_FragmentTable->KTLDelete(&key);
    return fragment;
}

int CKesSockEngine::KeepFragment(unsigned int socket, OwnedPacket fragment)
{
    CKesAtom key = SocketKey(socket);
    int result = KES_ERR_ARGUMENT;
    {
        CKesAutoMutex hold(m_EngineLock);
        if (m_FragmentTable != nullptr)
            result = m_FragmentTable->KTLAdd(&key, static_cast<void*>(fragment.get()), TRUE);
    }
    if (result == 1) {
        ReadState& state = m_ReadStates[socket];
        state.fragmented = true;
        // A large packet under way: its next reads go straight into it.
        const long long declared = DeclaredLength(*fragment);
        if (declared >= 0 && declared - fragment->KIWPGetPacketLength() >= ms_ReadChunk)
            state.next = NextRead::IntoFragment;
        static_cast<void>(fragment.release()); // the table's now
        return 1;
    }
    CKesError(result, kSource, __LINE__, "Incomplete packet cannot be kept, dropped");
    return result;
}

void CKesSockEngine::DropFragment(unsigned int socket) { TakeFragment(socket).reset(); }

bool CKesSockEngine::IsOwnedStream(unsigned int socket)
{
    // What was found holds until an owner changes: the counter is read
    // before the look-up, so an answer is never older than the count it is
    // kept under (kept plus one, so that 0 means never asked).
    const uint64_t changes = m_OwnerChanges.load() + 1;
    ReadState& state = m_ReadStates[socket];
    if (state.ownedAt != changes) {
        CKesAutoMutex hold(m_EngineLock);
        state.owned = OwnerOf(socket).Owned();
        state.ownedAt = changes;
    }
    return state.owned;
}

// ---- receive path ----------------------------------------------------------------

void CKesSockEngine::OnIO(CMOMRvIO* io)
{
    if (io == nullptr) return;
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::OnIO().\n");
    unsigned int socket = io->Source();
    m_ReadGeneration = io->Generation();
    if (IsOwnedStream(socket))
        ReadStream(socket);
    else
        ReadDatagram(socket);
    m_ReadGeneration = 0;
}

OwnedSource CKesSockEngine::NewSource(unsigned int socket)
{
    OwnedSource source;
    source.length = SourceLengthOf(socket);
    source.address.reset(static_cast<sockaddr*>(calloc(source.length, 1)));
    return source;
}

const OwnedSource& CKesSockEngine::StreamSource(unsigned int socket)
{
    // A stream read reports no address: the block only needs the size of
    // the socket's family, cleared. Stream reads are made without an address
    // (ReadStream), so nothing ever writes it and it serves read after read.
    const unsigned int length = SourceLengthOf(socket);
    if (m_StreamSource.address == nullptr || m_StreamSource.length != length)
        m_StreamSource = NewSource(socket);
    return m_StreamSource;
}

int CKesSockEngine::KSEReadStream(unsigned int socket)
{
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    ReadStream(socket);
    return 1;
}

void CKesSockEngine::ReadStream(unsigned int socket)
{
    // One test on the usual read: anything else was noted by the read before.
    const NextRead next = std::exchange(m_ReadStates[socket].next, NextRead::Usual);
    if (next != NextRead::Usual && (next == NextRead::Break ? BreakNoted(socket) : ReadIntoFragment(socket)))
        return;
    // A bounded read into the loop thread's own buffer: what one read brings
    // is queued at once, before the backlog can pause the socket; the rest
    // stays in the kernel's buffer. The buffer is reused, so a read costs no
    // allocation of its size: the whole packets are copied out at their size.
    if (m_ReadBuffer.empty()) m_ReadBuffer.resize(ms_ReadChunk);
    const OwnedSource& source = StreamSource(socket);
    if (source.address == nullptr) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, "Read buffer cannot be allocated");
        return;
    }
    int length = ReadSocket(socket, m_ReadBuffer.data(), ms_ReadChunk, nullptr, 0);
    if (KesTraceOn(4)) KesTrace("Received IO on %u of length %d.\n", socket, length);
    if (length < 0) {
        if (KesTraceOn(4)) KesReportSocketError(socket, "Ignoring packet due to socket error");
        return;
    }
    if (length == 0) {
        if (!EndWaits(socket)) DeliverClosed(socket, CopySource(source));
        return;
    }
    if (QueueOnePacket(socket, m_ReadStates[socket], m_ReadBuffer.data(), static_cast<unsigned int>(length),
                       source))
        return;
    int result = ReceiveRun(socket, m_ReadBuffer.data(), static_cast<unsigned int>(length), source);
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
}

bool CKesSockEngine::QueueOnePacket(unsigned int socket, ReadState& state, const unsigned char* data,
                                    unsigned int length, const OwnedSource& source)
{
    // Anything else (a fragment to join, a tail, several packets, a length
    // over the limit) takes the general path, which sees the same bytes.
    const long long declared = CKesRecHdr::KRHPeekDataLen(data, length);
    if (state.fragmented || declared < 0 || declared > CKesRecHdr::KRHGetMaxPacketLength() ||
        declared + CKesRecHdr::ms_HeaderLength != length)
        return false;
    // The payload alone, as a completed fragment is queued: the worker
    // hands it to its owner as it is.
    constexpr unsigned int kHeader = CKesRecHdr::ms_HeaderLength;
    CKesIOWorkPacket* packet = WholePacketsItem(socket, state, data + kHeader, length - kHeader, 0, source);
    if (packet == nullptr) return true; // reported, and the packet lost as on the general path
    if (!ProcessAfterRead(packet)) Queue(OwnedPacket(packet), __LINE__);
    ApplyBackPressure(socket, state);
    return true;
}

bool CKesSockEngine::ReadIntoFragment(unsigned int socket)
{
    // The hint may be stale (the fragment dropped or completed meanwhile):
    // what the table holds decides.
    m_ReadStates[socket].fragmented = false;
    OwnedPacket fragment = TakeFragment(socket);
    if (fragment == nullptr) return false;
    const long long declared = DeclaredLength(*fragment);
    const unsigned int have = fragment->KIWPGetPacketLength();
    if (declared < 0 || declared - have < ms_ReadChunk) {
        KeepFragment(socket, std::move(fragment));
        return false;
    }
    // Read straight into the packet's buffer, grown by doubling within the
    // reassembly limit as before: no copy, and as few reads as the kernel
    // allows. At most ms_FragmentReadChunk a read, so that other connections
    // wait behind one copy of that size at most.
    const unsigned long long total = static_cast<unsigned long long>(declared);
    const unsigned long long want = std::min<unsigned long long>(total - have, ms_FragmentReadChunk);
    if (!GrowFragment(socket, *fragment, have + want, total)) {
        OwnedSource source = CopySource(*fragment);
        fragment.reset();
        BreakConnection(socket, std::move(source));
        return true;
    }
    const unsigned long long room =
        std::min<unsigned long long>(static_cast<unsigned long long>(fragment->KIWPGetReassemblyCharge()),
                                     total) -
        have;
    OwnedSource source = NewSource(socket);
    const int length =
        ReadSocket(socket, fragment->KIWPGetPacket() + have, static_cast<int>(std::min(room, want)),
                   source.address.get(), source.length);
    if (KesTraceOn(4)) KesTrace("Received IO on %u of length %d into its packet.\n", socket, length);
    if (length <= 0) {
        KeepFragment(socket, std::move(fragment));
        if (length == 0 && !EndWaits(socket)) DeliverClosed(socket, std::move(source));
        return true;
    }
    fragment->KIWPSetPacketLength(have + static_cast<unsigned int>(length));
    if (have + static_cast<unsigned long long>(length) < total) {
        KeepFragment(socket, std::move(fragment));
    } else {
        QueueCompleted(std::move(fragment), __LINE__);
    }
    ApplyBackPressure(socket);
    return true;
}

void CKesSockEngine::ReadDatagram(unsigned int socket)
{
    // A datagram is handed over in its buffer, which is sized to it.
    int available = KesGetSocketPacketLength(socket);
    if (KesTraceOn(4)) KesTrace("Received IO on %u of length %d.\n", socket, available);
    if (available < 0) {
        if (KesTraceOn(4)) KesReportSocketError(socket, "Ignoring packet due to socket error");
        return;
    }
    if (available > ms_LargestDatagram) available = ms_LargestDatagram;
    // Only the byte after what is read needs zeroing.
    OwnedBytes buffer(static_cast<unsigned char*>(malloc(static_cast<size_t>(available) + 1)));
    OwnedSource source = NewSource(socket);
    int length = ReadSocket(socket, buffer.get(), available, source.address.get(), source.length);
    if (buffer != nullptr) buffer[length > 0 ? length : 0] = 0;
    if (length < 0) {
        if (KesTraceOn(4)) KesReportSocketError(socket, "Ignoring packet due to socket error");
        return;
    }
    if (length == 0) {
        DeliverClosed(socket, std::move(source));
        return;
    }
    // The multicast socket or one a derived engine registered: one datagram,
    // delivered whole. Datagrams are never paused (that would stop discovery
    // for every peer); past the backlog cap they are dropped, as the network
    // may drop them anyway.
    if (BacklogOf(socket)->IsFull()) {
        ReportPeer(KES_ERR_ALLOCATION, __LINE__, socket, source.address.get(), source.length,
                   "Datagram dropped: the receive backlog of the socket is full");
        return;
    }
    QueueCharged(OwnedPacket(new CKesIOWorkPacket(socket, buffer.release(), static_cast<unsigned int>(length),
                                                  this, source.address.release(), source.length)),
                 __LINE__);
}

unsigned int CKesSockEngine::SourceLengthOf(unsigned int socket)
{
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    // Asked once per registration of the socket, not on every read.
    const uint32_t generation = KRNGetGeneration(socket);
    ReadState& state = m_ReadStates[socket];
    if (state.sourceLength == 0 || state.sourceGeneration != generation) {
        state.sourceLength = SourceAddressLength(socket);
        state.sourceGeneration = generation;
    }
    return state.sourceLength;
}

int CKesSockEngine::ReadSocket(unsigned int socket, unsigned char* buffer, int available, sockaddr* address,
                               unsigned int addressLength)
{
    if (buffer == nullptr || (address == nullptr && addressLength > 0)) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, "Read buffer cannot be allocated");
        return KES_ERR_ALLOCATION;
    }
    // No address (a stream read): the kernel writes none back either.
    socklen_t fromLength = addressLength;
    ssize_t got = recvfrom(static_cast<int>(socket), buffer, static_cast<size_t>(available), 0, address,
                           address != nullptr ? &fromLength : nullptr);
    if (got >= 0) return static_cast<int>(got);
    if (!KesSocketPeerGone(KesLastSocketError())) return -1;
    if (IsDatagramSocket(socket)) {
        if (__Kesworks_Debug_Level != 0) KesTrace("Got ICMP port unreachable on socket %u\n", socket);
        return -1;
    }
    if (__Kesworks_Debug_Level != 0)
        KesTrace("Far end of link on socket %u has dropped the connection\n", socket);
    return 0;
}

bool CKesSockEngine::EndWaits(unsigned int socket)
{
    // Records read before the end are finished before it: the socket stays
    // out of the loop until the workers are through with them, and its end
    // is then read again. A peer's last records before it closes (or only
    // shuts down its sending side) thus reach the owner, and its answers go
    // out, before the connection is removed.
    return BacklogOf(socket)->PauseUntilFinished();
}

void CKesSockEngine::DeliverClosed(unsigned int socket, OwnedSource source)
{
    // Whatever was pending belonged to the connection that has just ended.
    DropFragment(socket);
    ReadState& state = m_ReadStates[socket];
    state.fragmented = false;
    state.next = NextRead::Usual;
    // The end of a connection is an empty payload that is there (not null).
    unsigned char* empty = static_cast<unsigned char*>(calloc(1, 1));
    CKesIOWorkPacket packet(socket, empty, 0, this, source.address.release(), source.length);
    KSEProcessIO(&packet);
}

int CKesSockEngine::KSECheckSockPacket(unsigned int socket, unsigned char* data, int length, sockaddr* source,
                                       int sourceLength)
{
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    // Both blocks are owned here from the start, whatever happens below.
    OwnedBytes run(data);
    OwnedSource from;
    from.address.reset(source);
    from.length = source != nullptr && sourceLength > 0 ? static_cast<unsigned int>(sourceLength) : 0;
    if (run == nullptr || length < 0) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No data given");
        return KES_ERR_ARGUMENT;
    }
    return ReceiveRun(socket, run.get(), static_cast<unsigned int>(length), from);
}

int CKesSockEngine::ReceiveRun(unsigned int socket, const unsigned char* data, unsigned int length,
                               const OwnedSource& source)
{
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    OwnedBytes joined;
    unsigned int offset = 0;
    int result = 1;

    // Only the loop thread keeps fragments, and it notes each socket it keeps
    // one for: a read of a socket without one needs no look-up.
    OwnedPacket fragment =
        std::exchange(m_ReadStates[socket].fragmented, false) ? TakeFragment(socket) : nullptr;
    if (fragment != nullptr) {
        TraceJoin(*fragment, data, length);
        if (DeclaredLength(*fragment) >= 0) {
            // The fragment's buffer already has room for its whole packet:
            // append in place rather than re-join, so a large packet costs
            // time linear in its size however many reads it takes.
            offset = FillFragment(socket, std::move(fragment), data, length, &result);
        } else {
            joined = Join(*fragment, data, length, &length);
            if (joined == nullptr) return KES_ERR_ALLOCATION;
            data = joined.get();
        }
    }
    if (offset < length) {
        int split = SplitRun(socket, data + offset, length - offset, source);
        if (split != 1) result = split;
    }
    ApplyBackPressure(socket);
    return result;
}

void CKesSockEngine::TraceJoin(const CKesIOWorkPacket& fragment, const unsigned char* data,
                               unsigned int length)
{
    if (!KesTraceOn(4)) return;
    unsigned int fragmentLength = fragment.KIWPGetPacketLength();
    KesTrace("Adding chopped packets - Packet A %.*s Len: %u Packet B %.*s Len: %u\n",
             static_cast<int>(fragmentLength), reinterpret_cast<const char*>(fragment.KIWPGetPacket()),
             fragmentLength, static_cast<int>(length), reinterpret_cast<const char*>(data), length);
    long long declared = DeclaredLength(fragment);
    if (declared < 0)
        KesTrace("Total packet should be unknown (header incomplete) Packet is %llu\n",
                 static_cast<unsigned long long>(fragmentLength) + length);
    else
        KesTrace("Total packet should be %lld Packet is %llu\n", declared, HeldWithHeader(fragment) + length);
}

unsigned int CKesSockEngine::FillFragment(unsigned int socket, OwnedPacket fragment,
                                          const unsigned char* data, unsigned int length, int* result)
{
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    // The fragment holds the payload alone (KeepTail took the header off).
    unsigned long long declared = static_cast<unsigned long long>(DeclaredLength(*fragment));
    unsigned long long total = declared;
    unsigned int have = fragment->KIWPGetPacketLength();
    unsigned long long missing = total - have;
    unsigned int take = missing < length ? static_cast<unsigned int>(missing) : length;
    if (!GrowFragment(socket, *fragment, have + take, total)) {
        *result = KES_ERR_ALLOCATION;
        OwnedSource source = CopySource(*fragment);
        fragment.reset();
        BreakConnection(socket, std::move(source));
        return length;
    }
    unsigned char* buffer = fragment->KIWPGetPacket();
    memcpy(buffer + have, data, take);
    fragment->KIWPSetPacketLength(have + take);
    if (have + take < total) {
        int kept = KeepFragment(socket, std::move(fragment));
        if (kept != 1) *result = kept;
        return take;
    }
    // Complete: the buffer holds the payload from its start, and the
    // fragment carries it to a worker as the packet.
    int queued = QueueCompleted(std::move(fragment), __LINE__);
    if (queued != 1) *result = queued;
    return take;
}

OwnedBytes CKesSockEngine::Join(const CKesIOWorkPacket& fragment, const unsigned char* data,
                                unsigned int length, unsigned int* joinedLength)
{
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    unsigned int fragmentLength = fragment.KIWPGetPacketLength();
    size_t joined = static_cast<size_t>(fragmentLength) + length;
    OwnedBytes run(static_cast<unsigned char*>(malloc(joined + 1)));
    if (run == nullptr) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, "Joined packet cannot be allocated");
        return nullptr;
    }
    if (fragmentLength > 0) memcpy(run.get(), fragment.KIWPGetPacket(), fragmentLength);
    memcpy(run.get() + fragmentLength, data, length);
    run[joined] = 0;
    *joinedLength = static_cast<unsigned int>(joined);
    return run;
}

int CKesSockEngine::SplitRun(unsigned int socket, const unsigned char* run, unsigned int length,
                             const OwnedSource& source)
{
    int result = 1;
    CKesRecHdr header;
    unsigned int count = 0;
    const unsigned int whole = header.KRHWholePackets(run, length, &count);
    if (count > 0) {
        // The read's whole packets go to the workers as a few items (see
        // QueueWholePackets): one queue operation per read and one wake-up
        // per item, however many packets the read holds.
        int queued = QueueWholePackets(socket, run, whole, count, source);
        if (queued != 1) result = queued;
    }
    if (header.KRHIsBroken()) {
        ReportPeer(KES_ERR_FRAMING, __LINE__, socket, source.address.get(), source.length,
                   "Connection closed: a packet header declares more than the packet limit");
        BreakConnection(socket, CopySource(source));
        return result;
    }
    if (header.KRHGetData() == nullptr || header.KRHGetTotalLen() < 1) return result;
    OwnedBytes tail(header.KRHGetData());
    unsigned int tailLength = static_cast<unsigned int>(header.KRHGetTotalLen());
    header.KRHInitialise(); // the tail is ours from here on
    int kept = KeepTail(socket, std::move(tail), tailLength, CopySource(source));
    return kept != 1 ? kept : result;
}

int CKesSockEngine::QueueWholePackets(unsigned int socket, const unsigned char* run, unsigned int length,
                                      unsigned int count, const OwnedSource& source)
{
    // A read of many packets is shared among the workers, so that slow
    // callbacks of one busy connection still keep them all at work; a few
    // packets stay in one item (a worker woken for a packet or two costs
    // more than it saves).
    const unsigned int workers =
        m_IOPool != nullptr ? static_cast<unsigned int>(m_IOPool->KSPWorkerCount()) : 1;
    unsigned int items = count / ms_PacketsWorthAWorker;
    items = std::clamp(items, 1u, workers);
    ReadState& state = m_ReadStates[socket];
    if (items == 1) {
        // One item for all its packets, with no walk over them.
        CKesIOWorkPacket* packet = WholePacketsItem(socket, state, run, length, count, source);
        return packet != nullptr ? Queue(OwnedPacket(packet), __LINE__) : KES_ERR_ALLOCATION;
    }
    std::vector<void*>& queued = m_QueuedItems;
    queued.clear();
    unsigned int at = 0, done = 0;
    for (unsigned int item = 0; item < items; ++item) {
        const unsigned int packets = (count - done) / (items - item);
        unsigned int end = at;
        for (unsigned int i = 0; i < packets; ++i)
            end += CKesRecHdr::ms_HeaderLength +
                   static_cast<unsigned int>(CKesRecHdr::KRHPeekDataLen(run + end, length - end));
        CKesIOWorkPacket* packet = WholePacketsItem(socket, state, run + at, end - at, packets, source);
        if (packet != nullptr) queued.push_back(packet);
        at = end;
        done += packets;
    }
    if (queued.empty()) return KES_ERR_ALLOCATION;
    int result = m_IOPool != nullptr
                     ? m_IOPool->KSPAddWorkDetails(queued.data(), static_cast<int>(queued.size()))
                     : KES_ERR_ARGUMENT;
    if (result != 1) {
        CKesError(result, kSource, __LINE__, "Packets not queued to the IO pool, dropped");
        for (void* packet : queued) CKesIOWorkPacket::KIWPDelete(static_cast<CKesIOWorkPacket*>(packet));
        return result;
    }
    return queued.size() == items ? 1 : KES_ERR_ALLOCATION;
}

CKesIOWorkPacket* CKesSockEngine::WholePacketsItem(unsigned int socket, ReadState& state,
                                                   const unsigned char* run, unsigned int length,
                                                   unsigned int count, const OwnedSource& source)
{
    // One block for the item, its bytes and its source: the worker frees
    // what the loop thread allocated, which costs the allocator most per block.
    auto* packet =
        CKesIOWorkPacket::KIWPNewInBlock(socket, run, length, this, source.address.get(), source.length);
    if (packet == nullptr) return nullptr;
    packet->KIWPSetWholePackets(count);
    packet->KIWPCharge(BacklogOf(socket, state));
    return packet;
}

int CKesSockEngine::KeepTail(unsigned int socket, OwnedBytes tail, unsigned int tailLength,
                             OwnedSource source)
{
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    OwnedPacket fragment(new CKesIOWorkPacket(socket, tail.release(), tailLength, this,
                                              source.address.release(), source.length));
    long long declared = CKesRecHdr::KRHPeekDataLen(fragment->KIWPGetPacket(), tailLength);
    if (declared >= 0) {
        // Room for the bytes at hand and some more; later reads grow it.
        // The header goes now (a move of at most one read's tail), so the
        // payload is at the front once whole, however large it is.
        fragment->KIWPSetReassemblyCharge(tailLength);
        unsigned char* buffer = fragment->KIWPGetPacket();
        const unsigned int held = tailLength - CKesRecHdr::ms_HeaderLength;
        memmove(buffer, buffer + CKesRecHdr::ms_HeaderLength, held);
        fragment->KIWPSetPacketLength(held);
        fragment->KIWPSetStrippedLength(declared);
        unsigned long long total = static_cast<unsigned long long>(declared);
        if (!GrowFragment(socket, *fragment, held, total)) {
            source = CopySource(*fragment);
            fragment.reset();
            BreakConnection(socket, std::move(source));
            return KES_ERR_ALLOCATION;
        }
    }
    return KeepFragment(socket, std::move(fragment));
}

bool CKesSockEngine::GrowFragment(unsigned int socket, CKesIOWorkPacket& fragment, unsigned long long needed,
                                  unsigned long long total)
{
    KES_CHECK(MayRunReceivePath(*this), kLoopThreadRule);
    unsigned long long capacity = static_cast<unsigned long long>(fragment.KIWPGetReassemblyCharge());
    if (needed <= capacity && capacity >= ms_FirstFragmentCapacity) return true;
    // Doubling: a packet of n bytes costs O(n) copying in all (large blocks
    // grow in place through mremap) and holds at most twice what arrived.
    unsigned long long grown = capacity * 2;
    if (grown < needed) grown = needed;
    if (grown < ms_FirstFragmentCapacity) grown = ms_FirstFragmentCapacity;
    if (grown > total) grown = total;
    if (grown == capacity) return true;
    long long more = static_cast<long long>(grown - capacity);
    if (CKesReceiveBacklog::ReassemblyBytes().load() + more > KSEGetReassemblyLimit()) {
        // Pausing instead could leave every connection waiting for memory
        // that only another paused one could free: the one that asks for
        // more is cut.
        ReportPeer(KES_ERR_ALLOCATION, __LINE__, socket, fragment.KIWPGetSource(),
                   fragment.KIWPGetSourceLen(),
                   "Connection closed: its incomplete packets would pass the process's reassembly limit");
        return false;
    }
    // A whole packet's block has a byte more: room for the closing NUL of a
    // large value that is delivered where it was read (KIWPTakeRecord).
    const size_t size = static_cast<size_t>(grown == total ? grown + 1 : grown);
    if (grown >= kWorthPopulating && TakeKeptBlock(fragment, size, total)) return true;
    fragment.KIWPStopFilling(); // realloc may move the block
    unsigned char* block = static_cast<unsigned char*>(realloc(fragment.KIWPGetPacket(), size));
    if (block == nullptr) {
        ReportPeer(KES_ERR_ALLOCATION, __LINE__, socket, fragment.KIWPGetSource(),
                   fragment.KIWPGetSourceLen(),
                   "Connection closed: buffer for an incomplete packet cannot be allocated");
        return false;
    }
    fragment.KIWPSetPacket(block); // realloc has taken the old block over
    fragment.KIWPSetReassemblyCharge(static_cast<long long>(grown));
    if (grown - capacity >= kWorthPopulating && !fragment.KIWPFillAhead(m_PageFiller.get(), capacity, grown))
        CKesPageFiller::KPFFillNow(block + capacity, static_cast<size_t>(grown - capacity));
    if (grown >= kWorthPopulating) fragment.KIWPKeepBufferWith(m_PageFiller.get());
    return true;
}

bool CKesSockEngine::TakeKeptBlock(CKesIOWorkPacket& fragment, size_t size, unsigned long long total)
{
    // The last large packet's block, its pages still there, if it holds the
    // size the fragment's block grows to. It then holds as much of the packet
    // as it can, counted so against the limit: the memory is held either way.
    size_t held = 0;
    unsigned char* block = m_PageFiller->KPFTake(size, &held);
    if (block == nullptr) return false;
    const unsigned long long capacity = std::min<unsigned long long>(held, total);
    const long long more = static_cast<long long>(capacity) - fragment.KIWPGetReassemblyCharge();
    if (CKesReceiveBacklog::ReassemblyBytes().load() + more > KSEGetReassemblyLimit()) {
        m_PageFiller->KPFKeep(block); // the usual growth decides
        return false;
    }
    fragment.KIWPStopFilling();
    memcpy(block, fragment.KIWPGetPacket(), fragment.KIWPGetPacketLength());
    free(fragment.KIWPGetPacket());
    fragment.KIWPSetPacket(block);
    fragment.KIWPKeepBufferWith(m_PageFiller.get());
    fragment.KIWPSetReassemblyCharge(static_cast<long long>(capacity));
    return true;
}

void CKesSockEngine::BreakConnection(unsigned int socket, OwnedSource source)
{
    // The stream can no longer be framed: no more reads from it, nothing
    // pending, and its owner hears of it as of a closed connection, once the
    // packets read before are finished.
    if (BreakWaits(socket)) return;
    // A connection the loop dispatched is paused, not removed: its owner
    // removes it, as at the end of a stream, or, while a callback holds its
    // endpoint, parks it and hears of the end again once the loop turns to
    // it, which breaks it again without reading (BreakNoted). Removed here,
    // it could be neither parked nor turned to again, and would stay open.
    // A read handed over directly has no loop to come back: it leaves.
    const uint32_t generation = m_ReadGeneration;
    if (generation == 0 || KRNPauseIO(socket, generation) != 1) RemoveIO(socket, __LINE__);
    DeliverClosed(socket, std::move(source));
    if (generation != 0) NoteBreak(socket, generation);
}

bool CKesSockEngine::BreakWaits(unsigned int socket)
{
    // Records complete before the break are finished before it, as before
    // an end (EndWaits): the socket stays out of the loop until the workers
    // are through with them, and the loop, turning to it again, breaks it
    // without reading (BreakNoted). Only a read the loop dispatched (a
    // server's or a client's connection) is turned to again; a read handed
    // over directly breaks at once.
    if (m_ReadGeneration == 0) return false;
    // The peer may send nothing more: with its reading side shut, the socket
    // is readable once put back, whatever the peer does. What it still holds
    // or gets is never read. Shut before the pause: once paused, the socket
    // may be put back, or its connection removed, by another thread at once.
    shutdown(static_cast<int>(socket), SHUT_RD);
    if (!BacklogOf(socket)->PauseUntilFinished()) return false;
    NoteBreak(socket, m_ReadGeneration);
    return true;
}

void CKesSockEngine::NoteBreak(unsigned int socket, uint32_t generation)
{
    ReadState& state = m_ReadStates[socket];
    state.next = NextRead::Break;
    state.breakGeneration = generation;
}

bool CKesSockEngine::BreakNoted(unsigned int socket)
{
    // A note of an earlier registration of the handle: the new connection
    // is read as usual.
    if (m_ReadStates[socket].breakGeneration != m_ReadGeneration) return false;
    BreakConnection(socket, CopySource(StreamSource(socket)));
    return true;
}

void CKesSockEngine::KSEAddWorkToIOPool(CKesIOWorkPacket* packet)
{
    if (packet == nullptr) {
        if (KesTraceOn(1)) KesTrace("Will not add a NULL packet to the IO pool\n");
        return;
    }
    Queue(OwnedPacket(packet), __LINE__);
}

bool CKesSockEngine::ProcessAfterRead(CKesIOWorkPacket* packet)
{
    // Processed by this thread once OnIO has returned (the loop's other
    // reader standing by to read meanwhile), in the turn of a worker that
    // would have been woken for it: a request's answer goes out with no
    // wake-up in between, and no more packets are processed at once than
    // the pool has workers.
    // The loop first: its usual refusal (a read before the last of its
    // wait) takes no lock, where the pool's takes the workers' lock.
    if (m_IOPool == nullptr || !KRNRunAfterDispatch(&CKesSockEngine::RunAfterRead, packet)) return false;
    if (m_IOPool->KSPTakeTurn()) return true;
    KRNTakeBackWork();
    return false;
}

void CKesSockEngine::RunAfterRead(void* work)
{
    auto* engine = static_cast<CKesSockEngine*>(static_cast<CKesIOWorkPacket*>(work)->KIWPGetSockServer());
    KSEWorkerProc(work, nullptr);
    engine->m_IOPool->KSPEndTurn();
}

void CKesSockEngine::KSEWorkerProc(void* work, void*)
{
    OwnedPacket packet(static_cast<CKesIOWorkPacket*>(work));
    if (packet == nullptr) return;
    CKesSockEngine* engine = static_cast<CKesSockEngine*>(packet->KIWPGetSockServer());
    if (engine != nullptr) engine->KSEProcessIO(packet.get());
}

bool CKesSockEngine::KSEIsFromEndedConnection(const CKesIOWorkPacket& packet)
{
    const uint32_t generation = packet.KIWPGetGeneration();
    return generation != 0 && generation != KRNGetGeneration(packet.KIWPGetSocket());
}

void CKesSockEngine::KSEProcessIO(CKesIOWorkPacket* packet)
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEProcessIO().\n");
    if (packet == nullptr) return;
    unsigned int socket = packet->KIWPGetSocket();

    Owner owner;
    UseCount* count = nullptr;
    {
        // The owner found under the lock is counted in, so that its removal
        // on another thread waits for this packet.
        CKesAutoMutex hold(m_EngineLock);
        owner = OwnerOf(socket);
        // Bytes read from a connection that has ended meanwhile must not
        // reach a new owner: a server's or client's, or a new registration of
        // the handle by a derived engine. It may still end after this; a
        // server asks again (KOSSProcessPacket). With neither (the handle not
        // registered since), they go to KesOnRvIO like the packets read
        // before the engine cut a stream of its own.
        if (KSEIsFromEndedConnection(*packet) && (owner.Owned() || KRNGetGeneration(socket) != 0)) {
            if (KesTraceOn(2)) KesTrace("Socket %u: a packet of an ended connection dropped\n", socket);
            return;
        }
        count = CountIn(owner.Object());
    }
    InUse use(*this, owner.Object(), count);
    if (packet->KIWPGetWholePackets() == 0) {
        Dispatch(owner, packet);
        return;
    }
    // A read's whole packets, in order, each as a packet of its own that
    // borrows its bytes: one look-up for all of them.
    unsigned char* run = packet->KIWPGetPacket();
    const unsigned int length = packet->KIWPGetPacketLength();
    constexpr unsigned int kHeader = CKesRecHdr::ms_HeaderLength;
    for (unsigned int at = 0; length - at >= kHeader;) {
        const unsigned long long n =
            static_cast<unsigned long long>(CKesRecHdr::KRHPeekDataLen(run + at, kHeader));
        if (n > length - at - kHeader) break; // cannot happen: the loop thread split it
        CKesIOWorkPacket one(*packet, run + at + kHeader, static_cast<unsigned int>(n));
        Dispatch(owner, &one);
        at += kHeader + static_cast<unsigned int>(n);
    }
}

void CKesSockEngine::Dispatch(const Owner& owner, CKesIOWorkPacket* packet)
{
    int result = 1;
    if (owner.serverSide) {
        if (owner.server == nullptr) {
            CKesError(KES_ERR_NO_SERVER, kSource, __LINE__, "Packet for a service that has no server");
            return;
        }
        result = owner.server->KOSSProcessPacket(packet);
    } else if (owner.client != nullptr) {
        result = owner.client->KOSCProcessPacket(packet);
    } else if (m_Multicast != nullptr && packet->KIWPGetSocket() == m_Multicast->KOMGetReceiveSocket()) {
        result = KSEProcessMulticast(packet);
    } else {
        KesOnRvIO(packet);
    }
    // A datagram that does not decode comes back with the decoder's code; what a
    // datagram on the multicast channel causes is rate-limited and names its sender.
    if (result != 1 && IsMulticastPacket(*packet))
        ReportDatagram(result, __LINE__, *packet, "Datagram not processed");
    else if (result == KES_ERR_DECODE)
        KesReportDecodeFailure(result, kSource, __LINE__, packet->KIWPGetSocket(), packet->KIWPGetSource(),
                               packet->KIWPGetSourceLen());
    else if (result != 1)
        CKesError(result, kSource, __LINE__, nullptr);
}
