// Records and their encoding: forms agree with a MessagePack peer; longer ones decode, bad ones fail.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <malloc.h>
#include <new>
#include <sys/resource.h>

#include "../hosts/KesTypedText.h"
#include "CKesString.h"
#include "KesMsgPack.h"
#include "KesTestSupport.h" // GoogleTest and the standard headers the tests share too
#include "KesWirePeer.h"    // records too

namespace {

using ksxtest::Bytes;

// Decodes from a heap block of exactly the input's size (ASan sees overreads), given in hex or not.
int Decode(const std::string& input, CKesRecord* record, bool hex = false)
{
    std::string bytes = hex ? "" : input;
    EXPECT_TRUE(!hex || ksxhost::Unhex(input, &bytes)) << input;
    std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() + bytes.empty()]);
    memcpy(exact.get(), bytes.data(), bytes.size());
    return record->KOMDecode(exact.get(), static_cast<unsigned int>(bytes.size()));
}

// The peer reads our encoding as the record (in the typed words of KesTypedText.h) and packs it byte for byte
// alike; its packing decodes here.
void CrossCheck(const CKesRecord& record, const std::string& caseName)
{
    const std::string base = ksxtest::KsxHome() + "/" + caseName;
    const Bytes encoded = ksxtest::Encode(record);
    ksxtest::WriteHomeFile(caseName + ".ours", std::string(encoded.begin(), encoded.end()));
    const std::string command = "/usr/bin/python3 " KSX_SOURCE_DIR "/tests/platform/msgpack_peer.py '" +
                                base + ".ours' '" + base + ".txt' '" + base + ".theirs'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(ksxtest::ReadFile(base + ".txt"), ksxhost::TypedText(record) + "\n");
    const std::string repacked = ksxtest::ReadFile(base + ".theirs");
    EXPECT_TRUE(Bytes(repacked.begin(), repacked.end()) == encoded)
        << "peer packed " << repacked.size() << " bytes, we " << encoded.size();
    CKesRecord decoded;
    ASSERT_EQ(Decode(repacked, &decoded), 1);
    EXPECT_EQ(ksxhost::TypedText(decoded), ksxhost::TypedText(record));
}

} // namespace

TEST(RecordPeer, EveryValueFormAndMapSizeAgrees)
{
    CKesRecord record;
    int n = 0;
    auto add = [&](const CKesAtom& atom) { record.KRAddValue(("v" + std::to_string(n++)).c_str(), atom); };
    // Integer boundaries of every smallest form, as int, long and 64-bit.
    for (long long value : {0LL,      127LL,         128LL,         255LL,        256LL,        65535LL,
                            65536LL,  2147483647LL,  2147483648LL,  4294967295LL, 4294967296LL, LLONG_MAX,
                            -1LL,     -32LL,         -33LL,         -128LL,       -129LL,       -32768LL,
                            -32769LL, -2147483648LL, -2147483649LL, LLONG_MIN}) {
        add(CKesAtom(value));
        add(CKesAtom(static_cast<long>(value)));
        if (value >= INT32_MIN && value <= INT32_MAX) add(CKesAtom(static_cast<int>(value)));
    }
    for (size_t length : {0, 31, 32, 255, 256, 65535, 65536}) add(CKesAtom(std::string(length, 'x').c_str()));
    add(CKesAtom("Gr\xc3\xbc\xc3\x9f"
                 "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xa6"));
    add(CKesAtom::KAText("a\0b", 3));
    record.KRAddValue("\xc3\xa9t\xc3\xa9", "named in UTF-8");
    for (size_t length : {23, 24, 300}) record.KRAddValue(std::string(length, 'k').c_str(), "long name");
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (double value :
         {0.0, -0.0, 1.5, -1e-300, 5e-324, std::numeric_limits<double>::max(), kInf, -kInf, std::nan("")})
        add(CKesAtom(value));
    const Bytes pattern = ksxtest::Pattern(70000, 7);
    for (size_t length : {0, 1, 255, 256, 65535, 65536, 70000}) add(CKesAtom(pattern.data(), length));
    CrossCheck(record, "values");
    for (int count : {0, 15, 16, 65535, 65536}) { // entries in reverse name order: order kept
        CKesRecord record;
        for (int i = count; i-- > 0;) record.KRAddValue(("e" + std::to_string(i)).c_str(), CKesAtom(i));
        CrossCheck(record, "map" + std::to_string(count));
    }
}

// Text forms are exact and keep every byte. A growable text may be appended to itself, though its text
// moves as it grows; a size that leaves no room for the closing NUL is refused.
TEST(Atom, StrRepIsExactAndKeepsEveryByteOfATextWithNul)
{
    CKesString grown("abc");
    ASSERT_EQ(grown.KSStrCat(grown.KSString()), 1);
    ASSERT_EQ(grown.KSStrCat(grown.KSString() + 4), 1);
    EXPECT_STREQ(grown.KSString(), "abcabcbc");
    EXPECT_EQ(grown.KSReserve(SIZE_MAX), KES_ERR_ALLOCATION);

    EXPECT_EQ(ksxtest::TakeText(CKesAtom(LLONG_MIN).KAStrRep()), "-9223372036854775808");
    const unsigned char bytes[] = {0x00, 0xab, 0x10, 0xff};
    EXPECT_EQ(ksxtest::TakeText(CKesAtom(bytes, sizeof bytes).KAStrRep()), "00ab10ff");
    EXPECT_EQ(ksxtest::TakeText(CKesAtom().KAStrRep()), "<null>");
    for (double value : {0.1, 1.0 / 3.0, 5e-324, std::numeric_limits<double>::max()}) {
        const std::string text = ksxtest::TakeText(CKesAtom(value).KAStrRep());
        EXPECT_EQ(strtod(text.c_str(), nullptr), value) << text;
        EXPECT_LE(text.size(), 24u) << text; // shortest form, not %.17g padding
    }
    CKesAtom text = CKesAtom::KAText("ab\0cd", 5);
    EXPECT_EQ(text.KALength(), 5u);
    const std::unique_ptr<char, decltype(&free)> rep(text.KAStrRep(), &free);
    EXPECT_EQ(memcmp(rep.get(), "ab\0cd", 6), 0); // every byte, NUL-terminated
}

// Untyped values are refused when added and fail the encoding with a null buffer; decoding never
// merges. Names of 23 and 24 bytes sit on either side of the room a value keeps for its name.
TEST(Record, ValuesAreFoundByFirstNameCopiedDeeplyAndUntypedOnesRefused)
{
    const std::string inlineName(23, 'i'), heapName(24, 'h');
    CKesRecord record;
    record.KRAddValue("a", "first");
    record.KRAddValue("b", CKesAtom(2));
    record.KRAddValue("a", "second");
    record.KRAddValue(inlineName.c_str(), CKesAtom(23));
    record.KRAddValue(heapName.c_str(), CKesAtom(24));
    EXPECT_STREQ(record.KRValueOf("a")->KAString(), "first");
    EXPECT_EQ(record.KRValueOf("c"), nullptr);
    EXPECT_EQ(record.KRCount(), 5);
    std::unique_ptr<CKesListable> copy(record.KLTargetDeepCopy(&record));
    ASSERT_NE(copy, nullptr);
    *record.KRValueOf("a") = CKesAtom("changed");
    const CKesRecord* copied = static_cast<CKesRecord*>(copy.get());
    EXPECT_STREQ(copied->KRValueOf("a")->KAString(), "first");
    EXPECT_STREQ(copied->KRValueAt(3)->KVBName(), inlineName.c_str());
    EXPECT_STREQ(copied->KRValueAt(4)->KVBName(), heapName.c_str());
    EXPECT_EQ(copied->KRValueOf(heapName.c_str())->KAInt(), 24);

    ksxtest::ErrorCapture errors;
    EXPECT_EQ(record.KRAddValue(nullptr, "text"), KES_ERR_ARGUMENT);
    EXPECT_EQ(record.KRAddValue("name", CKesAtom()), KES_ERR_ARGUMENT);
    EXPECT_EQ(record.KRAddValue(new CKesVarBind("name", CKesAtom())), KES_ERR_ARGUMENT); // not leaked
    EXPECT_EQ(record.KRCount(), 5);
    EXPECT_EQ(errors.Count(KES_ERR_ARGUMENT, "CKesBaseRecord"), 3);

    *record.KRValueOf("b") = CKesAtom();
    unsigned char* buffer = reinterpret_cast<unsigned char*>(&record); // must be overwritten
    unsigned int length = 77;
    EXPECT_LT(record.KOMEncode(&buffer, &length), 0);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(Decode("81a16101", &record, true), KES_ERR_ARGUMENT);
    EXPECT_EQ(record.KRCount(), 5);

    // A decoded value keeps its text in one block with itself: a value moved out, one replaced and
    // a copy of the record each own theirs (the sanitizers see a stray free or a read after free).
    auto decoded = std::make_unique<CKesRecord>();
    ASSERT_EQ(Decode("82a161a56669727374a162c403616263", decoded.get(), true), 1); // a: "first", b: bin abc
    std::unique_ptr<CKesListable> decodedCopy(decoded->KLTargetDeepCopy(decoded.get()));
    const CKesAtom moved(std::move(*decoded->KRValueOf("b")));
    *decoded->KRValueOf("a") = CKesAtom("replaced");
    EXPECT_STREQ(decoded->KRValueOf("a")->KAString(), "replaced");
    decoded.reset();
    size_t movedLength = 0;
    const unsigned char* movedBytes = moved.KABytes(&movedLength);
    ASSERT_EQ(movedLength, 3u);
    EXPECT_EQ(memcmp(movedBytes, "abc", 3), 0);
    EXPECT_STREQ(static_cast<CKesRecord*>(decodedCopy.get())->KRValueOf("a")->KAString(), "first");
}

// A large value is left where it was read and its buffer goes with it (freed with the record: the sanitizers
// see a leak or a double free); the other values, a copy and a moved value own their bytes. A buffer without
// room for the NUL, much larger than the value or holding two large ones, or input that does not decode,
// stays the caller's, unwritten.
TEST(RecordDecoding, ALargeValueStaysInItsMallocdBufferWhichGoesWithTheRecord)
{
    const size_t large = CKesRecord::ms_AdoptBytes + 5;
    const std::string largeText(large, 'L');
    CKesRecord source, lastLarge, twoLarge;
    for (CKesRecord* record : {&source, &lastLarge}) {
        record->KRAddValue("before", "small");
        record->KRAddValue("large", largeText.c_str());
    }
    source.KRAddValue("after", CKesAtom(7));
    twoLarge.KRAddValue("one", largeText.c_str());
    twoLarge.KRAddValue("two", largeText.c_str());
    auto buffer = [](const Bytes& encoded, size_t capacity) {
        auto* block = static_cast<unsigned char*>(malloc(std::max(capacity, encoded.size())));
        memcpy(block, encoded.data(), encoded.size());
        return block;
    };
    const Bytes encoded = ksxtest::Encode(source);
    const unsigned int length = static_cast<unsigned int>(encoded.size());

    unsigned char* adoptable = buffer(encoded, encoded.size() + 1);
    auto record = std::make_unique<CKesRecord>();
    bool adopted = false;
    ASSERT_EQ(1, record->KOMDecodeAdopting(adoptable, length, encoded.size() + 1, &adopted));
    ASSERT_TRUE(adopted);
    EXPECT_EQ(ksxhost::TypedText(*record), ksxhost::TypedText(source));
    const char* inPlace = record->KRValueOf("large")->KAString();
    EXPECT_TRUE(inPlace > reinterpret_cast<char*>(adoptable) &&
                inPlace < reinterpret_cast<char*>(adoptable) + encoded.size())
        << "the large value was copied";
    EXPECT_EQ(strlen(inPlace), large) << "no NUL right behind it";
    std::unique_ptr<CKesListable> copy(record->KLTargetDeepCopy(record.get()));
    const CKesAtom moved(std::move(*record->KRValueOf("large")));
    record.reset();
    EXPECT_EQ(moved.KALength(), large);
    EXPECT_EQ(moved.KAString()[large - 1], 'L');
    EXPECT_EQ(ksxhost::TypedText(*static_cast<CKesRecord*>(copy.get())), ksxhost::TypedText(source));

    struct Kept {
        const char* why;
        const CKesRecord& record;
        size_t extra; // capacity beyond the encoding
        int shorter;  // bytes of the encoding left out
        int result;
    };
    const Kept kept[] = {{"no room for the NUL behind the last value", lastLarge, 0, 0, 1},
                         {"a buffer far larger than the value", source, encoded.size(), 0, 1},
                         {"two large values, neither most of the buffer", twoLarge, 1, 0, 1},
                         {"input that does not decode", source, 1, 1, KES_ERR_DECODE}};
    for (const Kept& k : kept) {
        SCOPED_TRACE(k.why);
        const Bytes input = ksxtest::Encode(k.record);
        unsigned char* block = buffer(input, input.size() + k.extra);
        CKesRecord decoded;
        adopted = true;
        EXPECT_EQ(k.result,
                  decoded.KOMDecodeAdopting(block, static_cast<unsigned int>(input.size()) - k.shorter,
                                            input.size() + k.extra, &adopted));
        EXPECT_FALSE(adopted);
        EXPECT_EQ(0, memcmp(block, input.data(), input.size())) << "the buffer was written";
        if (k.result == 1) {
            EXPECT_EQ(ksxhost::TypedText(decoded), ksxhost::TypedText(k.record));
        }
        free(block);
    }
    unsigned char* block = buffer(encoded, encoded.size());
    EXPECT_EQ(KES_ERR_ARGUMENT, CKesRecord().KOMDecodeAdopting(block, length, length - 1, nullptr));
    free(block);
}

// Longer integer forms are narrowed to the smallest type that fits; malformed input leaves no entry.
TEST(RecordDecoding, AcceptsLongerFormsNarrowsIntegersThatFitAndRefusesMalformedInput)
{
    const std::tuple<const char*, EKesDataType, long long> accepted[] = {
        {"81a176cf0000000000000005", KES_DT_INT, 5},
        {"81a176cf7fffffffffffffff", KES_DT_INT64, INT64_MAX},
        {"81a176ce80000000", KES_DT_INT64, 2147483648LL},
        {"81a176d3ffffffffffffffff", KES_DT_INT, -1},
        {"81a176d3ffffffff7fffffff", KES_DT_INT64, INT32_MIN - 1LL},
        {"81db0000000176ff", KES_DT_INT, -1},
        {"de0001a17601", KES_DT_INT, 1}};
    for (const auto& [hex, type, value] : accepted) {
        SCOPED_TRACE(hex);
        CKesRecord record;
        ASSERT_EQ(Decode(hex, &record, true), 1);
        ASSERT_NE(record.KRValueOf("v"), nullptr);
        EXPECT_EQ(record.KRValueOf("v")->KAType(), type);
        EXPECT_EQ(record.KRValueOf("v")->KAInt64(), value);
    }
    // Refused: empty input; top level an array, a str; nil, float32, array, ext8, never-used values;
    // integer key, key holding a NUL; trailing byte; entries missing; map16/map32 counts, str8/str32
    // and bin8/bin32 lengths beyond the input; uint64 above int64; truncated int32, float64; good then bad.
    // clang-format off
    const char* const refused[] = {"", "9101", "a161", "81a161c0", "81a161ca3f800000", "81a1619101", "81a161c70101",
        "81a161c1", "810101", "81a2610001", "8000", "82a16101", "deffff", "dfffffffffa16101", "81d9ff6101",
        "81a161dbffffffff61", "81a161c40561", "81a161c6ffffffff00", "81a161cf8000000000000000", "81a161d2000000",
        "81a161cb0000", "82a16101a162c0"};
    // clang-format on
    for (const char* hex : refused) {
        SCOPED_TRACE(hex);
        CKesRecord record;
        EXPECT_EQ(Decode(hex, &record, true), KES_ERR_DECODE);
        EXPECT_NE(CKesRecord::KOMDecodeRefusal(), nullptr);
        EXPECT_EQ(record.KRCount(), 0);
    }
}

// A map of tiny entries: "" : "" each, two bytes an entry.
Bytes TinyEntries(uint32_t count)
{
    Bytes input{0xdf, static_cast<unsigned char>(count >> 24), static_cast<unsigned char>(count >> 16),
                static_cast<unsigned char>(count >> 8), static_cast<unsigned char>(count)};
    input.resize(input.size() + 2 * size_t(count), 0xa0);
    return input;
}

// A value costs far more memory than its two bytes of input, so a record holds at most kMostValues of them,
// whichever side encodes it; and memory running out while decoding is a refusal, not a throw out of the
// decoder (on a worker thread, the end of the process).
TEST(RecordDecoding, TheValueCountIsBoundedAndMemoryRunningOutIsARefusal)
{
    const uint32_t most = kesmsgpack::kMostValues;
    CKesRecord largest, tooLarge;
    const Bytes accepted = TinyEntries(most), refused = TinyEntries(most + 1);
    ASSERT_EQ(largest.KOMDecode(accepted.data(), static_cast<unsigned int>(accepted.size())), 1);
    EXPECT_EQ(largest.KRCount(), static_cast<int>(most));
    EXPECT_EQ(tooLarge.KOMDecode(refused.data(), static_cast<unsigned int>(refused.size())), KES_ERR_DECODE);
    EXPECT_STREQ(CKesRecord::KOMDecodeRefusal(), "more values than a record may hold");
    EXPECT_EQ(ksxtest::Encode(largest), accepted);
    ksxtest::ErrorCapture errors;
    largest.KRAddValue("", "");
    unsigned char* buffer = nullptr;
    unsigned int length = 0;
    EXPECT_EQ(largest.KOMEncode(&buffer, &length), KES_ERR_ARGUMENT);
    EXPECT_EQ(errors.Count(KES_ERR_ARGUMENT), 1);

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator does not run out under an address-space limit";
#endif
    const int failedStep = ksxtest::RunInChild([&accepted] {
        long pages = 0;
        if (FILE* statm = fopen("/proc/self/statm", "r")) {
            if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
            fclose(statm);
        }
        const rlim_t room = rlim_t(pages) * sysconf(_SC_PAGESIZE) + (4u << 20); // the values need 26 MiB
        const rlimit limit{room, room};
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) return 2;
        CKesRecord record;
        int decoded = 0;
        try {
            decoded = record.KOMDecode(accepted.data(), static_cast<unsigned int>(accepted.size()));
        } catch (const std::bad_alloc&) {
            return 3;
        }
        if (decoded != KES_ERR_DECODE) return 4;
        return std::string(CKesRecord::KOMDecodeRefusal()) == "out of memory" && record.KRCount() == 0 ? 0
                                                                                                       : 5;
    });
    EXPECT_EQ(failedStep, 0); // else the number of the step that failed
}

// A thread's record blocks serve its next records; a derived record's larger block is never kept; a thread
// that ends lets its kept blocks go (in the sanitized builds nothing is kept, so that a use after delete is
// still caught).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepsBlocks = false;
#else
constexpr bool kKeepsBlocks = true;
#endif

TEST(RecordBlocks, AThreadReusesItsOwnBlocksKeepsOnlyARecordsSizeAndLetsThemGoAtItsEnd)
{
    struct Larger : CKesRecord {
        char more[64] = {};
    };
    const auto makeAndDelete = [] {
        std::vector<CKesRecord*> records;
        for (int i = 0; i < 20; ++i) records.push_back(new CKesRecord);
        for (CKesRecord* record : records) delete record;
        return CKesRecord::KRKeptBlocks();
    };
    std::thread([&] {
        delete new Larger;
        EXPECT_EQ(0, CKesRecord::KRKeptBlocks()) << "a derived record's larger block was kept";
        const int kept = makeAndDelete();
        if (!kKeepsBlocks) {
            EXPECT_EQ(0, kept);
            return;
        }
        EXPECT_EQ(8, kept) << "a thread keeps up to eight blocks";
        std::unique_ptr<CKesRecord> again(new (std::nothrow) CKesRecord);
        EXPECT_EQ(7, CKesRecord::KRKeptBlocks()) << "a new record did not take a kept block";
    }).join();

    // Every block a thread kept is gone with it: the allocator's bytes in use come back to where they were.
    std::thread(makeAndDelete).join(); // the first thread's own bookkeeping settles
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 4; ++i) std::thread(makeAndDelete).join();
    EXPECT_LT(mallinfo2().uordblks, before + sizeof(CKesRecord)) << "blocks left behind by ended threads";
}
