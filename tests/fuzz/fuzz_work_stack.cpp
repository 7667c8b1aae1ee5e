// Splits a fuzzed TCP byte stream into packets the way the receive path does:
// cut into reads of varying size, each read joined to the tail kept from the
// previous one. The packets must match a one-pass reading of the whole stream,
// whatever the cuts, and a header above the limit must stop both alike.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "CKesIOWorkPacket.h"
#include "CKesRecHdr.h"
#include "CKesStack.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned int kLimit = 1u << 16;

struct Split {
    std::vector<Bytes> packets;
    Bytes tail;
    bool broken = false;
};

// The whole stream read in one pass.
Split ReadWhole(const unsigned char* data, size_t size)
{
    Split result;
    size_t offset = 0;
    while (offset + 4 <= size) {
        const uint32_t n = (uint32_t(data[offset]) << 24) | (uint32_t(data[offset + 1]) << 16) |
                           (uint32_t(data[offset + 2]) << 8) | uint32_t(data[offset + 3]);
        if ((result.broken = n > kLimit)) return result;
        if (offset + 4 + uint64_t(n) > size) break;
        result.packets.emplace_back(data + offset + 4, data + offset + 4 + n);
        offset += 4 + n;
    }
    result.tail.assign(data + offset, data + size);
    return result;
}

// Appends the stack's packets in input order (the stack gives the last first).
void Collect(CKesStack* stack, std::vector<Bytes>& packets)
{
    if (!stack) return;
    std::vector<Bytes> read;
    while (void* item = stack->KSPop()) {
        auto* packet = static_cast<CKesIOWorkPacket*>(item);
        const unsigned char* payload = packet->KIWPGetPacket();
        if (!payload) abort();
        read.emplace_back(payload, payload + packet->KIWPGetPacketLength());
        delete packet;
    }
    delete stack;
    packets.insert(packets.end(), read.rbegin(), read.rend());
}

// The stream cut into reads whose sizes come from a small generator.
Split ReadInPieces(const unsigned char* data, size_t size, uint32_t seed)
{
    Split result;
    size_t offset = 0;
    while (offset < size) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = 1 + (seed >> 16) % 97;
        const size_t end = offset + piece < size ? offset + piece : size;
        Bytes run = result.tail;
        run.insert(run.end(), data + offset, data + end);
        offset = end;

        CKesRecHdr header;
        Collect(header.KRHGetWorkStack(run.data(), static_cast<unsigned int>(run.size())), result.packets);
        if ((result.broken = header.KRHIsBroken())) {
            if (header.KRHGetData()) abort();
            return result;
        }
        result.tail.assign(header.KRHGetData(), header.KRHGetData() + header.KRHGetTotalLen());
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    CKesRecHdr::KRHSetMaxPacketLength(kLimit);
    const uint32_t seed = (uint32_t(data[0]) << 8) | data[1];
    const Split whole = ReadWhole(data + 2, size - 2);
    const Split pieces = ReadInPieces(data + 2, size - 2, seed);
    if (whole.broken != pieces.broken) abort();
    if (whole.packets != pieces.packets) abort();
    if (!whole.broken && whole.tail != pieces.tail) abort();
    return 0;
}
