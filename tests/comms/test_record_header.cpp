// Framing of TCP packets, the packet length limit and decoding whole runs of
// records. (Splitting runs across reads is tested through the receive path.)
#include <gtest/gtest.h>

#include "CKesIOWorkPacket.h"
#include "CKesRecHdr.h"
#include "CKesStack.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h" // records, strings and vectors too

namespace {

using ksxtest::Bytes;
using ksxtest::Frame; // an independent framing to check ours against

Bytes Payload(size_t size, unsigned char seed)
{
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(seed + i);
    return data;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
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
        const Bytes data = Payload(static_cast<size_t>(size), 0x40);
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
        Join({Frame(Payload(3, 1)), Bytes{0xff, 0xff, 0xff, 0xfc}, Payload(8, 0), Frame(Payload(3, 1))});
    CKesRecHdr header;
    auto length = [](CKesIOWorkPacket* packet) { return std::to_string(packet->KIWPGetPacketLength()); };
    EXPECT_EQ(Take<CKesIOWorkPacket>(header.KRHGetWorkStack(run.data(), run.size()), length),
              std::vector<std::string>{"3"});
    EXPECT_TRUE(header.KRHIsBroken());
    EXPECT_EQ(header.KRHGetData(), nullptr);
    EXPECT_EQ(errors.Count(-220440, "CKesRecHdr"), 1);
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
    ASSERT_EQ(errors.Count(-220440, "CKesRecHdr"), 1);
    EXPECT_EQ(errors.Reports()[0].text, "Packet size mismatch in incoming conglomerated TCP packet.");
    EXPECT_EQ(header.KRHGetData(), nullptr);

    // An undecodable payload: the decoder reports it, then the bad length.
    errors.Clear();
    run = Join({Frame(Payload(5, 0xC1)), FramedRecord("ok", "yes"), Bytes{0xff, 0xff, 0xff, 0xff}});
    CKesRecHdr other;
    EXPECT_EQ(Take<CKesRecord>(other.KRHGetDataRecords(run.data(), run.size()), FieldText),
              std::vector<std::string>{"ok=yes"});
    const auto reports = errors.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].code, KES_ERR_DECODE);
    EXPECT_EQ(reports[0].text, "Record cannot be decoded: the encoding is not a map");
    EXPECT_EQ(reports[1].code, -220440);
}
