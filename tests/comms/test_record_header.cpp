// Framing of TCP packets, the packet length limit, decoding whole runs of
// records, and the work packets that carry them. (Splitting runs across reads
// is tested through the receive path.)
#include <arpa/inet.h>

#include <cstring>

#include "CKesIOWorkPacket.h"
#include "CKesRecHdr.h"
#include "CKesStack.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h" // records too

namespace {

using ksxtest::Bytes;
using ksxtest::Frame; // an independent framing to check ours against
using ksxtest::Join;
using ksxtest::Pattern;
const Bytes kNotAMap = {0xC1, 1, 2, 3, 4}; // 0xC1 is never used by the encoding

// A heap block holding the bytes (or the IPv4 address), as a packet takes it.
unsigned char* HeapBytes(const Bytes& bytes)
{
    auto* block = static_cast<unsigned char*>(std::malloc(bytes.size()));
    std::memcpy(block, bytes.data(), bytes.size());
    return block;
}

sockaddr* HeapIPv4(const char* dotted, int port)
{
    auto* address = static_cast<sockaddr_in*>(std::calloc(1, sizeof(sockaddr_in)));
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, dotted, &address->sin_addr);
    return reinterpret_cast<sockaddr*>(address);
}

// The stack's items in input order (it pops the last pushed first), deleted.
template <typename Item, typename Read>
std::vector<std::string> Take(CKesStack* stack, Read read)
{
    std::vector<std::string> items;
    while (auto* item = stack ? static_cast<Item*>(stack->KSPop()) : nullptr) {
        items.insert(items.begin(), read(item));
        delete item;
    }
    delete stack;
    return items;
}

std::string FieldText(CKesRecord* record)
{ // "name=text" of the first field
    const CKesVarBind* field = record->KRValueAt(0);
    return std::string(field->KVBName()) + "=" + field->KVBValue()->KAString();
}

Bytes Tail(CKesRecHdr& header)
{
    return header.KRHGetData() ? Bytes(header.KRHGetData(), header.KRHGetData() + header.KRHGetTotalLen())
                               : Bytes();
}

Bytes FramedRecord(const char* name, const char* text)
{
    return Frame(ksxtest::Encode(ksxtest::TextRecord(name, text)));
}

} // namespace

TEST(RecordHeaderFraming, LengthGoesInFrontMostSignificantFirst)
{
    const unsigned char none = 0;
    for (int size : {0, 0x010203}) {
        const Bytes data = Pattern(static_cast<size_t>(size), 0x40);
        CKesRecHdr header(size == 0 ? &none : data.data(), size);
        EXPECT_EQ(Tail(header), Frame(data));
        EXPECT_EQ(header.KRHGetKOMPData(), header.KRHGetData() + 4);
        EXPECT_EQ(CKesRecHdr::KRHPeekDataLen(header.KRHGetData(), 4), size);
    }
}

TEST(RecordHeaderLimit, AboveTheLimitBreaksTheStreamAndLengthsNearFourGibibytesNeverWrapAround)
{
    EXPECT_EQ(CKesRecHdr::KRHGetMaxPacketLength(), 64u * 1024u * 1024u);
    ksxtest::ErrorCapture errors;
    // 0xFFFFFFFC + 4 wraps to 0 in 32 bits and would look complete.
    Bytes run =
        Join({Frame(Pattern(3, 1)), Bytes{0xff, 0xff, 0xff, 0xfc}, Pattern(8, 0), Frame(Pattern(3, 1))});
    CKesRecHdr header;
    auto length = [](CKesIOWorkPacket* packet) { return std::to_string(packet->KIWPGetPacketLength()); };
    EXPECT_EQ(Take<CKesIOWorkPacket>(header.KRHGetWorkStack(run.data(), run.size()), length),
              std::vector<std::string>{"3"});
    EXPECT_TRUE(header.KRHIsBroken());
    EXPECT_EQ(header.KRHGetData(), nullptr);
    EXPECT_EQ(errors.Count(KES_ERR_FRAMING, "CKesRecHdr"), 1);
    header.KRHInitialise();
    EXPECT_FALSE(header.KRHIsBroken());
}

TEST(RecordHeaderRecords, WholePacketsDecodeInOrderAndBadOnesAreReportedAndLeftOut)
{
    ksxtest::ErrorCapture errors;
    CKesRecHdr header;
    // Running past the end: the earlier records stay, in order; nothing is kept.
    const Bytes third = FramedRecord("c", "third");
    Bytes run = Join(
        {FramedRecord("a", "first"), FramedRecord("b", "second"), Bytes(third.begin(), third.end() - 1)});
    EXPECT_EQ(Take<CKesRecord>(header.KRHGetDataRecords(run.data(), run.size()), FieldText),
              (std::vector<std::string>{"a=first", "b=second"}));
    ASSERT_EQ(errors.Count(KES_ERR_FRAMING, "CKesRecHdr"), 1);
    EXPECT_EQ(errors.Reports()[0].text, "Packet size mismatch in incoming conglomerated TCP packet.");
    EXPECT_EQ(header.KRHGetData(), nullptr);

    // An undecodable payload: the decoder reports it, then the bad length.
    errors.Clear();
    run = Join({Frame(kNotAMap), FramedRecord("ok", "yes"), Bytes{0xff, 0xff, 0xff, 0xff}});
    CKesRecHdr other;
    EXPECT_EQ(Take<CKesRecord>(other.KRHGetDataRecords(run.data(), run.size()), FieldText),
              std::vector<std::string>{"ok=yes"});
    const auto reports = errors.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].code, KES_ERR_DECODE);
    EXPECT_EQ(reports[0].text, "Record cannot be decoded: the encoding is not a map");
    EXPECT_EQ(reports[1].code, KES_ERR_FRAMING);
}

// Copies own their buffers; the copying setter keeps a private copy and the
// taking one frees the block it replaces (both checked by the address sanitizer).
// A payload decodes and stays unchanged; a bad one gives an empty record and
// a report naming the socket.
TEST(WorkPacket, CopiesAndSettersOwnTheirBuffersAndABadPayloadIsReported)
{
    int engine = 0;
    auto* original =
        new CKesIOWorkPacket(5, HeapBytes(Pattern(20, 3)), 20, &engine, HeapIPv4("10.1.2.3", 80), 16);
    CKesIOWorkPacket copy(*original);
    std::unique_ptr<CKesListable> deep(original->KLTargetDeepCopy(original));
    ASSERT_NE(deep, nullptr);
    const std::string payload(reinterpret_cast<char*>(original->KIWPGetPacket()), 20);
    const std::string source(reinterpret_cast<char*>(original->KIWPGetSource()), 16);
    delete original;
    for (auto* p : {&copy, static_cast<CKesIOWorkPacket*>(deep.get())}) {
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p->KIWPGetPacket()), p->KIWPGetPacketLength()),
                  payload);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p->KIWPGetSource()), p->KIWPGetSourceLen()), source);
        EXPECT_EQ(p->KIWPGetSocket(), 5u);
        EXPECT_EQ(p->KIWPGetSockServer(), &engine);
    }

    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &address.sin6_addr);
    const auto* given = reinterpret_cast<const sockaddr*>(&address);
    ASSERT_EQ(copy.KIWPSetSource(given, 28), 1);
    EXPECT_NE(copy.KIWPGetSource(), given);
    EXPECT_EQ(copy.KIWPGetSourceLen(), 28u);
    EXPECT_EQ(std::memcmp(copy.KIWPGetSource(), &address, 28), 0);
    ASSERT_EQ(copy.KIWPSetSource(HeapIPv4("10.0.0.2", 1), 16), 1);
    EXPECT_EQ(copy.KIWPGetSourceLen(), 16u);

    const Bytes good = ksxtest::Encode(ksxtest::TextRecord("name", "value"));
    CKesIOWorkPacket packet(KES_INVALID_SOCKET, HeapBytes(good), good.size(), nullptr, nullptr, 0);
    ksxtest::ErrorCapture errors;
    std::unique_ptr<CKesRecord> decoded(packet.KIWPGetRecord());
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(ksxtest::TextOf(*decoded, "name"), "value");
    EXPECT_EQ(Bytes(packet.KIWPGetPacket(), packet.KIWPGetPacket() + good.size()), good);
    EXPECT_TRUE(errors.Reports().empty());

    CKesIOWorkPacket garbage(3, HeapBytes(kNotAMap), kNotAMap.size(), nullptr, nullptr, 0);
    std::unique_ptr<CKesRecord> empty(garbage.KIWPGetRecord());
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->KRCount(), 0);
    const auto reports = errors.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, KES_ERR_DECODE);
    EXPECT_EQ(reports[0].source, "CKesIOWorkPacket");
    EXPECT_EQ(reports[0].text, "Record cannot be decoded: the encoding is not a map (socket 3)");
}
