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

const char* const kMismatch = "Packet size mismatch in incoming conglomerated TCP packet.";
const char* const kMisuse = "Misuse of KesRecHdr object, should be empty.\n";

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

// Empties the stack into a vector in the order the packets stood in the input
// (the stack hands out the last pushed first), taking ownership of them.
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

Bytes Tail(CKesRecHdr& header) {
    if (!header.KRHGetData()) return {};
    return Bytes(header.KRHGetData(), header.KRHGetData() + header.KRHGetTotalLen());
}

// Restores the process-wide packet length limit after a test changes it.
class ScopedPacketLimit {
public:
    explicit ScopedPacketLimit(unsigned int limit) : m_Old(CKesRecHdr::KRHGetMaxPacketLength()) {
        CKesRecHdr::KRHSetMaxPacketLength(limit);
    }
    ~ScopedPacketLimit() { CKesRecHdr::KRHSetMaxPacketLength(m_Old); }

private:
    unsigned int m_Old;
};

Bytes EncodeRecord(const char* name, const char* text) { return ksxtest::Encode(ksxtest::TextRecord(name, text)); }

}  // namespace

TEST(RecordHeaderFraming, LengthGoesInFrontInFourBytesMostSignificantFirst) {
    const unsigned char none = 0;
    for (int size : {0, 10, 0x010203}) {
        const Bytes data = Payload(static_cast<size_t>(size), 0x40);
        CKesRecHdr header(size == 0 ? &none : data.data(), size);
        EXPECT_EQ(Tail(header), Frame(data));
        EXPECT_EQ(header.KRHGetDataLen(), size);
        EXPECT_EQ(header.KRHGetKOMPData(), header.KRHGetData() + 4);
        EXPECT_EQ(CKesRecHdr::KRHPeekDataLen(header.KRHGetData(), 4), size);
    }
    EXPECT_EQ(HeaderOnly(0x010203), (Bytes{0x00, 0x01, 0x02, 0x03}));
}

TEST(RecordHeaderFraming, NullDataOrNegativeLengthIsRefusedAndLeavesTheHeaderEmpty) {
    ksxtest::ErrorCapture errors;
    const unsigned char byte = 1;
    CKesRecHdr noData(nullptr, 5);
    CKesRecHdr negative(&byte, -1);
    EXPECT_EQ(errors.Count(-220552, "CKesRecHdr"), 2);
    EXPECT_EQ(noData.KRHGetData(), nullptr);
    EXPECT_EQ(negative.KRHGetData(), nullptr);
    EXPECT_EQ(negative.KRHGetTotalLen(), 0);
    EXPECT_EQ(negative.KRHGetKOMPData(), nullptr);
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
    EXPECT_EQ(copy.KRHGetDataLen(), 6);
    EXPECT_EQ(Tail(*static_cast<CKesRecHdr*>(deep)), Frame(data));
    delete deep;
}

TEST(RecordHeaderDump, SixteenBytesMakeOneLineBetweenEmptyLines) {
    const Bytes data = Payload(12, 0xA0);
    CKesRecHdr header(data.data(), 12);
    testing::internal::CaptureStdout();
    header.KRHDumpPacket();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\n00 00 00 0c a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab \n\n");
}

// Each run is split into the payloads of its whole packets, in order, and
// the bytes of an incomplete last packet (header included) are kept.
TEST(RecordHeaderSplitting, WholePacketsComeOutInOrderAndAnIncompleteOneIsKept) {
    const Bytes a = Payload(3, 1), b = Payload(300, 2), c = Payload(1, 3), none;
    const Bytes framedB = Frame(b), partB(framedB.begin(), framedB.begin() + 2);
    const Bytes framed40 = Frame(Payload(40, 1)), cut40(framed40.begin(), framed40.begin() + 17);
    const Bytes pending = Join({HeaderOnly(1000), Payload(10, 3)});
    struct {
        const char* name;
        Bytes run;
        std::vector<Bytes> payloads;
        Bytes tail;
        int peek;  // declared length read from the tail
    } cases[] = {
        {"three packets", Join({Frame(a), Frame(b), Frame(c)}), {a, b, c}, {}, 0},
        {"empty packets", Join({Frame(none), Frame(c), Frame(none)}), {none, c, none}, {}, 0},
        {"cut inside a header", Join({Frame(a), partB}), {a}, partB, -1},
        {"fewer than four bytes", {0, 0, 1}, {}, {0, 0, 1}, -1},
        {"cut inside the data", cut40, {}, cut40, 40},
        {"declared length past the input", Join({Frame(a), Frame(c), pending}), {a, c}, pending, 1000},
    };
    for (auto& t : cases) {
        CKesRecHdr header;
        CKesStack* stack = header.KRHGetWorkStack(t.run.data(), t.run.size());
        EXPECT_EQ(stack == nullptr, t.payloads.empty()) << t.name;
        EXPECT_EQ(TakePayloads(stack), t.payloads) << t.name;
        EXPECT_EQ(Tail(header), t.tail) << t.name;
        EXPECT_EQ(header.KRHGetTotalLen(), static_cast<int>(t.tail.size())) << t.name;
        EXPECT_FALSE(header.KRHIsBroken()) << t.name;
        if (!t.tail.empty()) {
            EXPECT_EQ(CKesRecHdr::KRHPeekDataLen(t.tail.data(), t.tail.size()), t.peek) << t.name;
        }
    }
    unsigned char nothing = 0;
    CKesRecHdr header;
    EXPECT_EQ(header.KRHGetWorkStack(&nothing, 0), nullptr);
    EXPECT_EQ(header.KRHGetWorkStack(nullptr, 8), nullptr);
    EXPECT_EQ(header.KRHGetData(), nullptr);
}

TEST(RecordHeaderSplitting, AKeptPieceJoinedWithTheNextReadCompletesThePacket) {
    const Bytes a = Payload(40, 1), b = Payload(7, 2);
    const Bytes framedA = Frame(a);
    Bytes first(framedA.begin(), framedA.begin() + 17);
    CKesRecHdr header;
    EXPECT_EQ(header.KRHGetWorkStack(first.data(), first.size()), nullptr);
    // The receive path joins the kept piece with the next read.
    Bytes second = Join({Tail(header), Bytes(framedA.begin() + 17, framedA.end()), Frame(b)});
    CKesRecHdr next;
    EXPECT_EQ(TakePayloads(next.KRHGetWorkStack(second.data(), second.size())), (std::vector<Bytes>{a, b}));
    EXPECT_EQ(next.KRHGetData(), nullptr);
}

TEST(RecordHeaderSplitting, SplittingIntoAHeaderThatHoldsATailReportsMisuseAndReplacesIt) {
    ksxtest::ErrorCapture errors;
    Bytes firstTail = {0, 0};
    Bytes secondTail = {0, 0, 0, 9, 1};
    CKesRecHdr header;
    header.KRHGetWorkStack(firstTail.data(), firstTail.size());
    EXPECT_EQ(errors.Count(-220440), 0);
    header.KRHGetWorkStack(secondTail.data(), secondTail.size());
    ASSERT_EQ(errors.Count(-220440, "CKesRecHdr"), 1);
    EXPECT_EQ(errors.Reports()[0].text, kMisuse);
    EXPECT_EQ(Tail(header), secondTail);
}

TEST(RecordHeaderLimit, DeclaredLengthAboveTheLimitBreaksTheStream) {
    ScopedPacketLimit limit(100);
    ksxtest::ErrorCapture errors;
    const Bytes a = Payload(100, 1);
    Bytes run = Join({Frame(a), HeaderOnly(101), Payload(101, 2), Frame(a)});
    CKesRecHdr header;
    EXPECT_EQ(TakePayloads(header.KRHGetWorkStack(run.data(), run.size())), std::vector<Bytes>{a});
    EXPECT_TRUE(header.KRHIsBroken());
    EXPECT_EQ(header.KRHGetData(), nullptr);
    EXPECT_EQ(header.KRHGetTotalLen(), 0);
    EXPECT_EQ(errors.Count(-220440, "CKesRecHdr"), 1);
    header.KRHInitialise();
    EXPECT_FALSE(header.KRHIsBroken());
}

TEST(RecordHeaderLimit, AnIncompletePacketIsRefusedAsSoonAsItsHeaderExceedsTheLimit) {
    ScopedPacketLimit limit(1000);
    Bytes run = HeaderOnly(1001);
    CKesRecHdr header;
    EXPECT_EQ(header.KRHGetWorkStack(run.data(), run.size()), nullptr);
    EXPECT_TRUE(header.KRHIsBroken());
    EXPECT_EQ(header.KRHGetData(), nullptr);
}

TEST(RecordHeaderLimit, DefaultIsSixtyFourMebibytesAndTheCeilingKeepsLengthsSigned) {
    EXPECT_EQ(CKesRecHdr::KRHGetMaxPacketLength(), 64u * 1024u * 1024u);
    ScopedPacketLimit limit(0xFFFFFFFFu);
    EXPECT_EQ(CKesRecHdr::KRHGetMaxPacketLength(), 0x7FFFFFFBu);
}

TEST(RecordHeaderLimit, LengthsNearFourGibibytesNeverWrapAround) {
    ksxtest::ErrorCapture errors;
    // 0xFFFFFFFC + 4 wraps to 0 in 32 bits and would look complete.
    Bytes run = Join({Frame(Payload(3, 1)), HeaderOnly(0xFFFFFFFCu), Payload(8, 0)});
    CKesRecHdr header;
    EXPECT_EQ(TakePayloads(header.KRHGetWorkStack(run.data(), run.size())).size(), 1u);
    EXPECT_TRUE(header.KRHIsBroken());
    EXPECT_EQ(errors.Count(-220440), 1);

    // With the limit at its ceiling the largest allowed length is a tail.
    ScopedPacketLimit limit(0xFFFFFFFFu);
    Bytes big = Join({HeaderOnly(0x7FFFFFFBu), Payload(8, 0)});
    CKesRecHdr waiting;
    EXPECT_EQ(waiting.KRHGetWorkStack(big.data(), big.size()), nullptr);
    EXPECT_FALSE(waiting.KRHIsBroken());
    EXPECT_EQ(Tail(waiting), big);
}

TEST(RecordHeaderRecords, WholePacketsDecodeIntoRecordsInStackOrder) {
    Bytes run = Join({Frame(EncodeRecord("a", "first")), Frame(EncodeRecord("b", "second"))});
    CKesRecHdr header;
    CKesStack* stack = header.KRHGetDataRecords(run.data(), run.size());
    ASSERT_NE(stack, nullptr);
    ASSERT_EQ(stack->KSSize(), 2);
    auto* last = static_cast<CKesRecord*>(stack->KSPop());
    auto* first = static_cast<CKesRecord*>(stack->KSPop());
    EXPECT_STREQ(first->KRValueOf("a")->KAString(), "first");
    EXPECT_STREQ(last->KRValueOf("b")->KAString(), "second");
    delete first;
    delete last;
    delete stack;
}

TEST(RecordHeaderRecords, RunningPastTheEndReportsMismatchAndKeepsEarlierRecords) {
    ksxtest::ErrorCapture errors;
    const Bytes second = Frame(EncodeRecord("b", "second"));
    Bytes run = Join({Frame(EncodeRecord("a", "first")), Bytes(second.begin(), second.end() - 1)});
    CKesRecHdr header;
    CKesStack* stack = header.KRHGetDataRecords(run.data(), run.size());
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->KSSize(), 1);
    delete static_cast<CKesRecord*>(stack->KSPop());
    delete stack;
    ASSERT_EQ(errors.Count(-220440, "CKesRecHdr"), 1);
    EXPECT_EQ(errors.Reports()[0].text, kMismatch);
    EXPECT_EQ(header.KRHGetData(), nullptr);
}

TEST(RecordHeaderRecords, UndecodablePayloadIsReportedAndLeftOut) {
    ksxtest::ErrorCapture errors;
    Bytes run = Join({Frame(Payload(5, 0xC1)), Frame(EncodeRecord("ok", "yes")), HeaderOnly(0xFFFFFFFFu)});
    CKesRecHdr header;
    CKesStack* stack = header.KRHGetDataRecords(run.data(), run.size());
    ASSERT_NE(stack, nullptr);
    ASSERT_EQ(stack->KSSize(), 1);
    auto* record = static_cast<CKesRecord*>(stack->KSPop());
    EXPECT_STREQ(record->KRValueOf("ok")->KAString(), "yes");
    delete record;
    delete stack;
    const auto reports = errors.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_LT(reports[0].code, 0);  // the decoder's own code
    EXPECT_EQ(reports[1].code, -220440);
}
