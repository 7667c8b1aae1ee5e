#include "CKesRecHdr.h"

#include <arpa/inet.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <vector>

#include "CKesError.h"
#include "CKesIOWorkPacket.h"
#include "CKesRecord.h"
#include "CKesStack.h"
#include "KesDecodeReport.h"
#include "KesErrorCodes.h"

namespace {

const char* const kSource = "CKesRecHdr";
const char* const kMismatchText = "Packet size mismatch in incoming conglomerated TCP packet.";
const char* const kMisuseText = "Misuse of KesRecHdr object, should be empty.\n";
const char* const kCannotFrameText = "Cannot frame a record: no data or bad length.";

// Largest limit: a whole packet (header plus data) must fit a signed int.
constexpr unsigned int kLimitCeiling = INT_MAX - CKesRecHdr::ms_HeaderLength;

// Marks a record of a batch that is left out (no encoding is this long).
constexpr unsigned int kLeftOut = UINT_MAX;

std::atomic<unsigned int> g_MaxPacketLength{CKesRecHdr::ms_DefaultMaxPacketLength};

// Network-order 32-bit value at p (at least 4 readable bytes).
unsigned int ReadLength(const unsigned char* p)
{
    uint32_t n;
    std::memcpy(&n, p, sizeof n);
    return ntohl(n);
}

// Pushes item, creating the stack on first use. False when either fails.
bool PushItem(CKesStack*& stack, void* item)
{
    if (!stack) stack = new (std::nothrow) CKesStack(-1);
    if (!stack) return false;
    return stack->KSPush(item) == 1;
}

// How a walk over a received run ended: at its end, at a packet that the
// run cuts off (header included), or at a header above the packet limit.
struct RunEnd {
    enum Kind { Complete, Cut, OverLimit } kind = Complete;
    unsigned int offset = 0;   // where the whole packets end
    unsigned int declared = 0; // OverLimit: the length the header declares
};

// Calls onPacket(data, n) for each whole packet of the run, in order, and
// says where and why the walk stopped. A declared length near 4 GiB counts
// as running past the run, never as wrapping around.
template <typename OnPacket>
RunEnd WalkRun(const unsigned char* buffer, unsigned int length, int headerLength, OnPacket&& onPacket)
{
    const unsigned long long end = length;
    const unsigned long long headerLen = static_cast<unsigned long long>(headerLength);
    unsigned long long offset = 0;
    while (offset < end) {
        const RunEnd cut{RunEnd::Cut, static_cast<unsigned int>(offset), 0};
        if (offset + headerLen > end) return cut;
        const unsigned int n = ReadLength(buffer + offset);
        if (n > CKesRecHdr::KRHGetMaxPacketLength())
            return RunEnd{RunEnd::OverLimit, static_cast<unsigned int>(offset), n};
        if (offset + headerLen + n > end) return cut;
        onPacket(buffer + offset + headerLen, n);
        offset += headerLen + n;
    }
    return RunEnd{RunEnd::Complete, length, 0};
}

} // namespace

CKesRecHdr::CKesRecHdr() { KRHInitialise(); }

CKesRecHdr::CKesRecHdr(const unsigned char* data, int length)
{
    KRHInitialise();
    if (length < 0 || !data || length > INT_MAX - m_HeaderLen) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, kCannotFrameText);
        return;
    }
    auto* buffer = static_cast<unsigned char*>(std::malloc(length + m_HeaderLen));
    if (!buffer) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return;
    }
    if (length > 0) std::memcpy(buffer + m_HeaderLen, data, length);
    AdoptFrame(buffer, length);
}

int CKesRecHdr::KRHFrameRecord(const CKesBaseRecord& record)
{
    FreeBuffer();
    unsigned char* buffer = nullptr;
    unsigned int length = 0;
    const int result = record.KOMEncode(&buffer, &length, static_cast<unsigned int>(m_HeaderLen));
    if (result != 1) return result;
    if (length > static_cast<unsigned int>(INT_MAX - m_HeaderLen)) {
        std::free(buffer);
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, kCannotFrameText);
        return result;
    }
    AdoptFrame(buffer, static_cast<int>(length));
    return result;
}

int CKesRecHdr::KRHFrameRecordInto(const CKesBaseRecord& record, unsigned char* out, unsigned int room)
{
    unsigned int length = 0;
    const int sized = record.KOMEncodedLength(&length);
    if (sized != 1) return sized;
    if (room < static_cast<unsigned int>(ms_HeaderLength) || length > room - ms_HeaderLength) return 0;
    const uint32_t wire = htonl(length);
    std::memcpy(out, &wire, sizeof wire);
    record.KOMEncodeInto(out + ms_HeaderLength);
    return static_cast<int>(length) + ms_HeaderLength;
}

CKesRecHdr::RecordFrame::RecordFrame(const CKesBaseRecord& record)
{
    const int framed = KRHFrameRecordInto(record, m_Small, sizeof m_Small);
    if (framed > 0) {
        m_Data = m_Small;
        m_Length = static_cast<unsigned int>(framed);
        return;
    }
    m_Result = framed < 0 ? framed : m_Large.emplace().KRHFrameRecord(record);
    if (m_Result != 1) return;
    m_Data = m_Large->KRHGetData();
    m_Length = static_cast<unsigned int>(m_Large->KRHGetTotalLen());
}

int CKesRecHdr::KRHFrameRecords(CKesRecord* const* records, unsigned int count, unsigned int* framed)
{
    FreeBuffer();
    if (framed) *framed = 0;
    if (!records) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, kCannotFrameText);
        return KES_ERR_ARGUMENT;
    }
    // Sizes first, so the whole batch costs one allocation and no copy.
    std::vector<unsigned int> lengths(count, 0);
    unsigned long long total = 0;
    int result = 1;
    for (unsigned int i = 0; i < count; ++i) {
        const int sized = records[i] ? records[i]->KOMEncodedLength(&lengths[i]) : KES_ERR_ARGUMENT;
        if (sized == 1) {
            total += static_cast<unsigned long long>(m_HeaderLen) + lengths[i];
            continue;
        }
        char text[96];
        std::snprintf(text, sizeof text, "Record %u of a batch of %u not sent: %s", i, count,
                      records[i] ? "it cannot be encoded" : "null");
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, text);
        if (result == 1) result = sized == 1 ? KES_ERR_ARGUMENT : sized;
        lengths[i] = kLeftOut;
    }
    if (total > static_cast<unsigned long long>(INT_MAX)) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__,
                  "A batch of records longer than 2 GiB cannot be framed.");
        return KES_ERR_ARGUMENT;
    }
    if (total == 0) return result;
    auto* buffer = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(total)));
    if (!buffer) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return KES_ERR_ALLOCATION;
    }
    unsigned char* at = buffer;
    unsigned int frames = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (lengths[i] == kLeftOut) continue;
        const uint32_t wire = htonl(lengths[i]);
        std::memcpy(at, &wire, sizeof wire);
        records[i]->KOMEncodeInto(at + m_HeaderLen);
        at += m_HeaderLen + lengths[i];
        ++frames;
    }
    m_Packet = buffer;
    m_TotalLen = static_cast<int>(total);
    m_DataLen = m_TotalLen - m_HeaderLen;
    if (framed) *framed = frames;
    return result;
}

void CKesRecHdr::AdoptFrame(unsigned char* buffer, int length)
{
    const uint32_t wire = htonl(static_cast<uint32_t>(length));
    std::memcpy(buffer, &wire, sizeof wire);
    m_Packet = buffer;
    m_DataLen = length;
    m_TotalLen = length + m_HeaderLen;
}

CKesRecHdr::CKesRecHdr(const CKesRecHdr& other) : CKesListable()
{
    KRHInitialise();
    if (!other.m_Packet || other.m_TotalLen <= 0) return;
    m_Packet = static_cast<unsigned char*>(std::malloc(other.m_TotalLen));
    if (!m_Packet) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return;
    }
    std::memcpy(m_Packet, other.m_Packet, other.m_TotalLen);
    m_TotalLen = other.m_TotalLen;
    m_DataLen = other.m_DataLen;
}

CKesRecHdr::~CKesRecHdr() { std::free(m_Packet); }

CKesListable* CKesRecHdr::KLTargetDeepCopy(const CKesListable* source)
{
    auto* from = dynamic_cast<const CKesRecHdr*>(source);
    if (!from) return nullptr;
    auto* copy = new (std::nothrow) CKesRecHdr(*from);
    if (!copy) CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
    return copy;
}

void CKesRecHdr::KRHInitialise()
{
    m_Packet = nullptr;
    m_TotalLen = 0;
    m_DataLen = 0;
    m_HeaderLen = ms_HeaderLength;
    m_Broken = false;
}

int CKesRecHdr::KRHGetDataLen() { return m_DataLen; }

int CKesRecHdr::KRHGetTotalLen() { return m_TotalLen; }

unsigned char* CKesRecHdr::KRHGetData() { return m_Packet; }

unsigned char* CKesRecHdr::KRHGetKOMPData() { return m_Packet ? m_Packet + m_HeaderLen : nullptr; }

bool CKesRecHdr::KRHIsBroken() const { return m_Broken; }

long long CKesRecHdr::KRHPeekDataLen(const unsigned char* buffer, unsigned int length)
{
    if (!buffer || length < static_cast<unsigned int>(ms_HeaderLength)) return -1;
    return ReadLength(buffer);
}

void CKesRecHdr::KRHSetMaxPacketLength(unsigned int maxLength)
{
    g_MaxPacketLength.store(maxLength > kLimitCeiling ? kLimitCeiling : maxLength);
}

unsigned int CKesRecHdr::KRHGetMaxPacketLength() { return g_MaxPacketLength.load(); }

void CKesRecHdr::FreeBuffer()
{
    std::free(m_Packet);
    m_Packet = nullptr;
    m_TotalLen = 0;
    m_DataLen = 0;
}

void CKesRecHdr::MarkBroken(unsigned long long declared)
{
    char text[160];
    std::snprintf(text, sizeof text,
                  "Declared packet length %llu exceeds the limit of %u bytes; the stream cannot be framed.",
                  declared, KRHGetMaxPacketLength());
    // A peer can send any number of these: rate-limited.
    KesReportLimited(KES_ERR_FRAMING, kSource, __LINE__, text);
    FreeBuffer();
    m_Broken = true;
}

void CKesRecHdr::KeepTail(const unsigned char* buffer, unsigned int offset, unsigned int length)
{
    if (m_Packet) {
        CKesError(KES_ERR_FRAMING, kSource, __LINE__, kMisuseText);
        FreeBuffer();
    }
    const unsigned int size = length - offset;
    m_Packet = static_cast<unsigned char*>(std::malloc(size));
    if (!m_Packet) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return;
    }
    std::memcpy(m_Packet, buffer + offset, size);
    m_TotalLen = static_cast<int>(size);
}

CKesStack* CKesRecHdr::KRHGetDataRecords(unsigned char* buffer, unsigned int length)
{
    CKesStack* stack = nullptr;
    if (!buffer) return nullptr;
    const RunEnd end = WalkRun(buffer, length, m_HeaderLen, [&](const unsigned char* data, unsigned int n) {
        // The decoder reads only [data, data + n): no private copy needed.
        auto* record = new (std::nothrow) CKesRecord();
        if (!record) {
            CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
            return;
        }
        const int rc = record->KOMDecode(data, n);
        if (rc != 1) {
            KesReportDecodeFailure(rc, kSource, __LINE__);
            delete record;
            return;
        }
        if (!PushItem(stack, record)) {
            CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
            delete record;
        }
    });
    if (end.kind == RunEnd::Cut) CKesError(KES_ERR_FRAMING, kSource, __LINE__, kMismatchText);
    if (end.kind == RunEnd::OverLimit) MarkBroken(end.declared);
    return stack;
}

CKesStack* CKesRecHdr::KRHGetWorkStack(unsigned char* buffer, unsigned int length)
{
    CKesStack* stack = nullptr;
    if (!buffer) return nullptr;
    const RunEnd end = WalkRun(buffer, length, m_HeaderLen, [&](const unsigned char* data, unsigned int n) {
        // One byte at least, so an empty payload still has a buffer to own.
        auto* payload = static_cast<unsigned char*>(std::malloc(n > 0 ? n : 1));
        if (!payload) {
            CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
            return;
        }
        std::memcpy(payload, data, n);
        auto* packet = new (std::nothrow) CKesIOWorkPacket();
        if (!packet) {
            CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
            std::free(payload);
            return;
        }
        int rc = packet->KIWPSetPacket(payload);
        if (rc != 1) CKesError(rc, kSource, __LINE__, nullptr);
        rc = packet->KIWPSetPacketLength(n);
        if (rc != 1) CKesError(rc, kSource, __LINE__, nullptr);
        if (!PushItem(stack, packet)) {
            CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
            delete packet;
        }
    });
    if (end.kind == RunEnd::Cut) KeepTail(buffer, end.offset, length);
    if (end.kind == RunEnd::OverLimit) MarkBroken(end.declared);
    return stack;
}

unsigned int CKesRecHdr::KRHWholePackets(const unsigned char* buffer, unsigned int length,
                                         unsigned int* count)
{
    unsigned int packets = 0;
    if (count) *count = 0;
    if (!buffer) return 0;
    const RunEnd end =
        WalkRun(buffer, length, m_HeaderLen, [&](const unsigned char*, unsigned int) { ++packets; });
    if (end.kind == RunEnd::Cut) KeepTail(buffer, end.offset, length);
    if (end.kind == RunEnd::OverLimit) MarkBroken(end.declared);
    if (count) *count = packets;
    return end.offset;
}

void CKesRecHdr::KRHDumpPacket()
{
    std::cout << std::hex << '\n';
    for (int i = 0; i < m_TotalLen && m_Packet; ++i) {
        std::cout << std::setw(2) << std::setfill('0') << static_cast<unsigned int>(m_Packet[i]) << ' ';
        if (i % 16 == 15) std::cout << '\n';
    }
    std::cout << std::dec << '\n';
    std::cout.flush();
}
