// Framing of TCP packets and splitting of received byte runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CKesIOWorkPacket.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesStack.h"
#include "KesTestSupport.h"
#include "KesWirePeer.h"

namespace {

using ksxtest::Bytes;
using ksxtest::Frame;  // an independent framing to check ours against

Bytes Payload(size_t size, unsigned char seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(seed + i);
    return data;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes HeaderOnly(unsigned int declared) {
    return {static_cast<unsigned char>(declared >> 24), static_cast<unsigned char>(declared >> 16),
            static_cast<unsigned char>(declared >> 8), static_cast<unsigned char>(declared)};
}

// Empties the stack (last pushed comes out first) into input order, taking
// ownership of the packets.
std::vector<Bytes> TakePayloads(CKesStack* stack) {
    std::vector<Bytes> payloads;
    if (!stack) return payloads;
    while (void* item = stack->KSPop()) {
        auto* packet = static_cast<CKesIOWorkPacket*>(item);
        const unsigned char* data = packet->KIWPGetPacket();
        EXPECT_NE(data, nullptr);
        payloads.insert(payloads.begin(), Bytes(data, data + packet->KIWPGetPacketLength()));
        delete packet;
    }
    delete stack;
    return payloads;
}

// The records of the stack in input order, as their "name=text" fields.
std::vector<std::string> TakeRecords(CKesStack* stack) {
    std::vector<std::string> records;
    if (!stack) return records;
    while (auto* record = static_cast<CKesRecord*>(stack->KSPop())) {
        const CKesVarBind* field = record->KRValueAt(0);
        records.insert(records.begin(), std::string(field->KVBName()) + "=" + field->KVBValue()->KAString());
        delete record;
    }
    delete stack;
    return records;
}

Bytes Tail(CKesRecHdr& header) {
    if (!header.KRHGetData()) return {};
    return Bytes(header.KRHGetData(), header.KRHGetData() + header.KRHGetTotalLen());
}

struct ScopedPacketLimit {  // restores the process-wide limit
    unsigned int old = CKesRecHdr::KRHGetMaxPacketLength();
    explicit ScopedPacketLimit(unsigned int limit) { CKesRecHdr::KRHSetMaxPacketLength(limit); }
    ~ScopedPacketLimit() { CKesRecHdr::KRHSetMaxPacketLength(old); }
};

Bytes FramedRecord(const char* name, const char* text) { return Frame(ksxtest::Encode(ksxtest::TextRecord(name, text))); }

}  // namespace

TEST(RecordHeaderFraming, LengthGoesInFrontMostSignificantFirstAndBadInputLeavesTheHeaderEmpty) {
    const unsigned char none = 0;
    for (int size : {0, 10, 0x010203}) {
        const Bytes data = Payload(static_cast<size_t>(size), 0x40);
        CKesRecHdr header(size == 0 ? &none : data.data(), size);
        EXPECT_EQ(Tail(header), Frame(data));
        EXPECT_EQ(header.KRHGetDataLen(), size);
        EXPECT_EQ(header.KRHGetKOMPData(), header.KRHGetData() + 4);
        EXPECT_EQ(CKesRecHdr::KRHPeekDataLen(header.KRHGetData(), 4), size);
    }
    ksxtest::ErrorCapture errors;
    CKesRecHdr noData(nullptr, 5);
    CKesRecHdr negative(&none, -1);
    EXPECT_EQ(errors.Count(-220552, "CKesRecHdr"), 2);
    EXPECT_EQ(noData.KRHGetData(), nullptr);
    EXPECT_EQ(negative.KRHGetData(), nullptr);
    EXPECT_EQ(negative.KRHGetTotalLen(), 0);
}

TEST(RecordHeaderFraming, CopiesOwnTheirBuffer) {
    const Bytes data = Payload(6, 1);
    auto* original = new CKesRecHdr(data.data(), 6);
    CKesRecHdr copy(*original);
    CKesListable* deep = original->KLTargetDeepCopy(original);
    ASSERT_NE(deep, nullptr);
    EXPECT_NE(copy.KRHGetData(), original->KRHGetData());
    delete original;
    EXPECT_EQ(Tail(copy), Frame(data));
    EXPECT_EQ(Tail(*static_cast<CKesRecHdr*>(deep)), Frame(data));
    delete deep;
}

// A run splits into the payloads of its whole packets, in order; the bytes
// of an incomplete last packet (header included) are kept, and reading its
// declared length needs the whole header. (The receive path tests cut runs
// in every other place.)
TEST(RecordHeaderSplitting, WholePacketsComeOutInOrderAndAnIncompleteOneIsKept) {
    const Bytes a = Payload(3, 1), b = Payload(300, 2), none;
    const Bytes pending = Join({HeaderOnly(1000), Payload(10, 3)});
    for (const Bytes& tail : {Bytes{0, 0, 1}, pending}) {
        Bytes run = Join({Frame(a), Frame(none), Frame(b), tail});
        CKesRecHdr header;
        EXPECT_EQ(TakePayloads(header.KRHGetWorkStack(run.data(), run.size())), (std::vector<Bytes>{a, none, b}));
        EXPECT_EQ(Tail(header), tail);
        EXPECT_EQ(header.KRHGetTotalLen(), static_cast<int>(tail.size()));
        EXPECT_FALSE(header.KRHIsBroken());
        EXPECT_EQ(CKesRecHdr::KRHPeekDataLen(tail.data(), tail.size()), tail.size() < 4 ? -1 : 1000);
    }
    unsigned char nothing = 0;
    CKesRecHdr header;
    EXPECT_EQ(header.KRHGetWorkStack(&nothing, 0), nullptr);
    EXPECT_EQ(header.KRHGetWorkStack(nullptr, 8), nullptr);
    EXPECT_EQ(header.KRHGetData(), nullptr);

    // Splitting into a header that still holds a tail is misuse; the new tail replaces it.
    ksxtest::ErrorCapture errors;
    Bytes firstTail = {0, 0}, secondTail = {0, 0, 0, 9, 1};
    header.KRHGetWorkStack(firstTail.data(), firstTail.size());
    EXPECT_EQ(errors.Count(-220440), 0);
    header.KRHGetWorkStack(secondTail.data(), secondTail.size());
    ASSERT_EQ(errors.Count(-220440, "CKesRecHdr"), 1);
    EXPECT_EQ(errors.Reports()[0].text, "Misuse of KesRecHdr object, should be empty.\n");
    EXPECT_EQ(Tail(header), secondTail);
}

// The receive path tests show a broken stream closing its connection; here
// the limit's edges: the default, the ceiling and lengths that could wrap.
TEST(RecordHeaderLimit, AboveTheLimitBreaksTheStreamAndLengthsNearFourGibibytesNeverWrapAround) {
    EXPECT_EQ(CKesRecHdr::KRHGetMaxPacketLength(), 64u * 1024u * 1024u);
    ksxtest::ErrorCapture errors;
    // 0xFFFFFFFC + 4 wraps to 0 in 32 bits and would look complete.
    Bytes run = Join({Frame(Payload(3, 1)), HeaderOnly(0xFFFFFFFCu), Payload(8, 0), Frame(Payload(3, 1))});
    CKesRecHdr header;
    EXPECT_EQ(TakePayloads(header.KRHGetWorkStack(run.data(), run.size())).size(), 1u);
    EXPECT_TRUE(header.KRHIsBroken());
    EXPECT_EQ(header.KRHGetData(), nullptr);
    EXPECT_EQ(errors.Count(-220440, "CKesRecHdr"), 1);
    header.KRHInitialise();
    EXPECT_FALSE(header.KRHIsBroken());

    // The ceiling keeps lengths signed; the largest allowed length is a tail.
    ScopedPacketLimit limit(0xFFFFFFFFu);
    EXPECT_EQ(CKesRecHdr::KRHGetMaxPacketLength(), 0x7FFFFFFBu);
    Bytes big = Join({HeaderOnly(0x7FFFFFFBu), Payload(8, 0)});
    EXPECT_EQ(header.KRHGetWorkStack(big.data(), big.size()), nullptr);
    EXPECT_FALSE(header.KRHIsBroken());
    EXPECT_EQ(Tail(header), big);
}

TEST(RecordHeaderRecords, WholePacketsDecodeInOrderAndBadOnesAreReportedAndLeftOut) {
    ksxtest::ErrorCapture errors;
    CKesRecHdr header;
    // Running past the end: the earlier records stay, in order; nothing is kept.
    const Bytes third = FramedRecord("c", "third");
    Bytes run = Join({FramedRecord("a", "first"), FramedRecord("b", "second"), Bytes(third.begin(), third.end() - 1)});
    EXPECT_EQ(TakeRecords(header.KRHGetDataRecords(run.data(), run.size())),
              (std::vector<std::string>{"a=first", "b=second"}));
    ASSERT_EQ(errors.Count(-220440, "CKesRecHdr"), 1);
    EXPECT_EQ(errors.Reports()[0].text, "Packet size mismatch in incoming conglomerated TCP packet.");
    EXPECT_EQ(header.KRHGetData(), nullptr);

    // An undecodable payload: the decoder reports it, then the bad length.
    errors.Clear();
    run = Join({Frame(Payload(5, 0xC1)), FramedRecord("ok", "yes"), HeaderOnly(0xFFFFFFFFu)});
    CKesRecHdr other;
    EXPECT_EQ(TakeRecords(other.KRHGetDataRecords(run.data(), run.size())), std::vector<std::string>{"ok=yes"});
    const auto reports = errors.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_LT(reports[0].code, 0);  // the decoder's own code
    EXPECT_EQ(reports[1].code, -220440);
}
