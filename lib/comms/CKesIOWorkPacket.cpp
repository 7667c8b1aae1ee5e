#include "CKesIOWorkPacket.h"

#include <malloc.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "CKesError.h"
#include "CKesPageFiller.h"
#include "CKesReceiveBacklog.h"
#include "CKesRecord.h"
#include "KesDecodeReport.h"
#include "KesErrorCodes.h"
#include "KesPort.h"
#include "TKesBlockCache.h"

namespace {

const char* const kSource = "CKesIOWorkPacket";

// Blocks of small packets: a round trip's record and its source address
// fit. A few hundred waiting blocks cover the reads of a busy loop.
using SmallBlocks = TKesBlockCache<512, 256>;

// A malloc'd copy of length bytes, or null (reported) when it cannot be made.
template <typename T>
T* CopyBlock(const T* from, unsigned int length, int line)
{
    void* block = std::malloc(length > 0 ? length : 1);
    if (!block) {
        CKesError(KES_ERR_ALLOCATION, kSource, line, nullptr);
        return nullptr;
    }
    std::memcpy(block, from, length);
    return static_cast<T*>(block);
}

// The address family the socket reports; IPv4 for the invalid socket and
// 0 when the socket cannot tell.
int SocketFamily(unsigned int socket)
{
    if (socket == KES_INVALID_SOCKET) return AF_INET;
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
    return local.ss_family;
}

} // namespace

CKesIOWorkPacket::CKesIOWorkPacket()
    : m_Socket(KES_INVALID_SOCKET), m_Packet(nullptr), m_PacketLength(0), m_SockServer(nullptr),
      m_Source(nullptr), m_SourceLength(0)
{
}

CKesIOWorkPacket::CKesIOWorkPacket(unsigned int socket, unsigned char* packet, unsigned int length,
                                   void* sockServer, sockaddr* source, unsigned int sourceLength)
    : m_Socket(socket), m_Packet(packet), m_PacketLength(length), m_SockServer(sockServer), m_Source(source),
      m_SourceLength(sourceLength)
{
}

CKesIOWorkPacket::CKesIOWorkPacket(const CKesIOWorkPacket& other)
    : CKesListable(), m_Socket(other.m_Socket), m_Packet(nullptr), m_PacketLength(other.m_PacketLength),
      m_SockServer(other.m_SockServer), m_Source(nullptr), m_SourceLength(0), m_Generation(other.m_Generation)
{
    if (other.m_Packet) {
        m_Packet = CopyBlock(other.m_Packet, other.m_PacketLength, __LINE__);
        if (!m_Packet) m_PacketLength = 0;
    }
    if (other.m_Source) {
        m_Source = CopyBlock(other.m_Source, other.m_SourceLength, __LINE__);
        if (m_Source) m_SourceLength = other.m_SourceLength;
    }
    // The copy waits with its own memory: it counts as much as the original,
    // and may outlive the engine that keeps the backlog.
    if (other.m_Backlog != nullptr) {
        m_Backlog = other.m_Backlog;
        m_KeptBacklog = m_Backlog->weak_from_this().lock();
        SetCharge();
        m_Backlog->ChargeCopy(m_Charge, m_ChargedPackets);
    }
}

CKesIOWorkPacket::CKesIOWorkPacket(const CKesIOWorkPacket& run, unsigned char* payload, unsigned int length)
    : CKesListable(), m_Socket(run.m_Socket), m_Packet(payload), m_PacketLength(length),
      m_SockServer(run.m_SockServer), m_Source(run.m_Source), m_SourceLength(run.m_SourceLength),
      m_Borrowed(true), m_Generation(run.m_Generation)
{
}

CKesIOWorkPacket::~CKesIOWorkPacket()
{
    KIWPStopFilling(); // before the buffer goes
    // The charge goes back; the backlog reference goes with the member.
    if (m_Backlog) m_Backlog->Release(m_Charge, m_ChargedPackets);
    KIWPSetReassemblyCharge(0);
    if (m_Borrowed) return;
    if (m_Keeper != nullptr)
        m_Keeper->KPFKeep(m_Packet);
    else if (!InOwnBlock(m_Packet))
        std::free(m_Packet);
    if (!InOwnBlock(m_Source)) std::free(m_Source);
}

CKesIOWorkPacket* CKesIOWorkPacket::KIWPNewInBlock(unsigned int socket, const unsigned char* payload,
                                                   unsigned int length, void* sockServer,
                                                   const sockaddr* source, unsigned int sourceLength)
{
    // The address first, at the alignment the packet itself has.
    const size_t sourceRoom =
        (sourceLength + alignof(CKesIOWorkPacket) - 1) & ~(alignof(CKesIOWorkPacket) - 1);
    const size_t extra = sourceRoom + length;
    const bool small = sizeof(CKesIOWorkPacket) + extra <= SmallBlocks::ms_BlockBytes;
    unsigned char* block = static_cast<unsigned char*>(small ? SmallBlocks::Take()
                                                             : std::malloc(sizeof(CKesIOWorkPacket) + extra));
    if (block == nullptr) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, "Received packets cannot be kept, dropped");
        return nullptr;
    }
    unsigned char* copies = block + sizeof(CKesIOWorkPacket);
    sockaddr* address = nullptr;
    if (source != nullptr && sourceLength > 0) {
        std::memcpy(copies, source, sourceLength);
        address = reinterpret_cast<sockaddr*>(copies);
    }
    unsigned char* bytes = copies + sourceRoom;
    if (length > 0) std::memcpy(bytes, payload, length);
    auto* packet = new (block)
        CKesIOWorkPacket(socket, bytes, length, sockServer, address, address != nullptr ? sourceLength : 0);
    packet->m_BlockSize = static_cast<unsigned int>(extra);
    packet->m_CachedBlock = small;
    return packet;
}

void CKesIOWorkPacket::KIWPDelete(CKesIOWorkPacket* packet) noexcept
{
    if (packet == nullptr) return;
    if (!packet->m_CachedBlock) {
        delete packet;
        return;
    }
    // Only KIWPNewInBlock makes such a packet: its type is this class.
    packet->~CKesIOWorkPacket();
    SmallBlocks::Give(packet);
}

bool CKesIOWorkPacket::InOwnBlock(const void* buffer) const
{
    const auto* start = reinterpret_cast<const unsigned char*>(this) + sizeof(CKesIOWorkPacket);
    const auto* at = static_cast<const unsigned char*>(buffer);
    return m_BlockSize > 0 && at >= start && at < start + m_BlockSize;
}

void* CKesIOWorkPacket::operator new(std::size_t size)
{
    void* block = std::malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* CKesIOWorkPacket::operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return std::malloc(size);
}

void CKesIOWorkPacket::operator delete(void* block) noexcept { std::free(block); }

void CKesIOWorkPacket::operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }

void CKesIOWorkPacket::KIWPCharge(CKesReceiveBacklog* backlog)
{
    if (m_Backlog) m_Backlog->Release(m_Charge, m_ChargedPackets);
    m_KeptBacklog.reset();
    m_Backlog = backlog;
    m_Generation = backlog != nullptr ? backlog->Generation() : 0;
    SetCharge();
    if (m_Backlog) m_Backlog->Charge(m_Charge, m_ChargedPackets);
}

void CKesIOWorkPacket::SetCharge()
{
    m_ChargedPackets = m_WholePackets > 0 ? static_cast<int>(m_WholePackets) : 1;
    m_Charge =
        static_cast<long long>(m_PacketLength) + CKesReceiveBacklog::ms_PacketOverhead * m_ChargedPackets;
}

void CKesIOWorkPacket::KIWPSetReassemblyCharge(long long bytes)
{
    // Most packets never held a fragment: no write to the process-wide count.
    if (bytes == m_Reassembly) return;
    CKesReceiveBacklog::ReassemblyBytes() += bytes - m_Reassembly;
    m_Reassembly = bytes;
}

bool CKesIOWorkPacket::KIWPFillAhead(CKesPageFiller* filler, unsigned long long from, unsigned long long to)
{
    if (filler == nullptr || m_Packet == nullptr || to <= from) return false;
    if (m_Filler != nullptr && m_Filler != filler) KIWPStopFilling();
    if (!filler->KPFFill(this, m_Packet + from, static_cast<size_t>(to - from))) return false;
    m_Filler = filler;
    return true;
}

void CKesIOWorkPacket::KIWPStopFilling()
{
    if (m_Filler == nullptr) return;
    m_Filler->KPFStop(this);
    m_Filler = nullptr;
}

CKesListable* CKesIOWorkPacket::KLTargetDeepCopy(const CKesListable* source)
{
    auto* from = dynamic_cast<const CKesIOWorkPacket*>(source);
    if (!from) return nullptr;
    return new (std::nothrow) CKesIOWorkPacket(*from);
}

int CKesIOWorkPacket::KIWPSetSocket(unsigned int socket)
{
    m_Socket = socket;
    return 1;
}

int CKesIOWorkPacket::KIWPSetPacket(unsigned char* packet)
{
    if (!packet) return KES_ERR_ARGUMENT;
    m_Packet = packet;
    m_Keeper = nullptr; // a block the keeper knows nothing of
    return 1;
}

int CKesIOWorkPacket::KIWPSetPacketLength(unsigned int length)
{
    m_PacketLength = length;
    return 1;
}

int CKesIOWorkPacket::KIWPSetSockServer(void* sockServer)
{
    if (!sockServer) return KES_ERR_ARGUMENT;
    m_SockServer = sockServer;
    return 1;
}

int CKesIOWorkPacket::KIWPSetSource(sockaddr* source, unsigned int length)
{
    if (!source) return KES_ERR_ARGUMENT;
    if (m_Source != source && !m_Borrowed && !InOwnBlock(m_Source)) std::free(m_Source);
    m_Source = source;
    m_SourceLength = length;
    return 1;
}

int CKesIOWorkPacket::KIWPSetSource(const sockaddr* source, unsigned int length)
{
    if (!source) return KES_ERR_ARGUMENT;
    if (length == 0) return KES_ERR_ZERO_LENGTH;
    auto* copy = static_cast<sockaddr*>(std::malloc(length));
    if (!copy) return KES_ERR_ALLOCATION;
    std::memcpy(copy, source, length);
    if (!m_Borrowed && !InOwnBlock(m_Source)) std::free(m_Source);
    m_Source = copy;
    m_SourceLength = length;
    return 1;
}

unsigned int CKesIOWorkPacket::KIWPGetSocket() const { return m_Socket; }

unsigned char* CKesIOWorkPacket::KIWPGetPacket() const { return m_Packet; }

unsigned int CKesIOWorkPacket::KIWPGetPacketLength() const { return m_PacketLength; }

void* CKesIOWorkPacket::KIWPGetSockServer() const { return m_SockServer; }

sockaddr* CKesIOWorkPacket::KIWPGetSource() const { return m_Source; }

unsigned int CKesIOWorkPacket::KIWPGetSourceLen() const { return m_SourceLength; }

CKesRecord* CKesIOWorkPacket::KIWPGetRecord() { return NewRecord(false); }

CKesRecord* CKesIOWorkPacket::KIWPTakeRecord()
{
    // Only a buffer of its own can go with the record, and only a large one holds such a value.
    return NewRecord(!m_Borrowed && !InOwnBlock(m_Packet) && m_PacketLength >= CKesRecord::ms_AdoptBytes);
}

CKesRecord* CKesIOWorkPacket::NewRecord(bool mayAdopt)
{
    auto* record = new (std::nothrow) CKesRecord();
    if (!record) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return nullptr;
    }
    // Nothing to decode: the empty record is the answer.
    if (!m_Packet || m_PacketLength == 0) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "Work packet has no payload to decode.");
        return record;
    }
    bool adopted = false;
    int rc = 1;
    if (mayAdopt) {
        KIWPStopFilling(); // the filler must be done with the buffer before it goes
        rc = record->KOMDecodeAdopting(m_Packet, m_PacketLength, malloc_usable_size(m_Packet), &adopted);
    } else {
        rc = record->KOMDecode(m_Packet, m_PacketLength);
    }
    if (rc != 1) KesReportDecodeFailure(rc, kSource, __LINE__, m_Socket, m_Source, m_SourceLength);
    if (adopted) {
        m_Packet = nullptr;
        m_PacketLength = 0;
        m_Keeper = nullptr;
    }
    return record;
}

void CKesIOWorkPacket::DumpSource() const
{
    const int family = SocketFamily(m_Socket);
    if (family == AF_INET) {
        if (!m_Source) return;
        char* text = nullptr;
        if (m_SourceLength >= sizeof(sockaddr_in))
            text = KesGetIPStr(reinterpret_cast<const sockaddr_in*>(m_Source)->sin_addr.s_addr);
        std::printf(" IP: %s", text ? text : "NULL");
        std::free(text);
        return;
    }
    if (family == AF_INET6) {
        if (!m_Source) return;
        char* text = nullptr;
        if (m_SourceLength >= sizeof(sockaddr_in6)) {
            in6_addr address;
            std::memcpy(&address, reinterpret_cast<const unsigned char*>(m_Source) + 8, sizeof address);
            text = KesGetIPv6Str(&address);
        }
        std::printf(" IP: %s", text ? text : "NULL");
        std::free(text);
        return;
    }
    std::printf("Unknown address type :%d Address Ptr: %p Length: %u", family, static_cast<void*>(m_Source),
                m_SourceLength);
}

void CKesIOWorkPacket::KIWPDump()
{
    std::printf("IOWorkPacket: Socket: %u", m_Socket);
    if (m_Packet) std::printf(" Packet entry ");
    std::printf(" packet length %u ", m_PacketLength);
    if (m_SockServer) std::printf("SockServer entry.");
    DumpSource();
    std::printf("\n");
    std::fflush(stdout);
}
