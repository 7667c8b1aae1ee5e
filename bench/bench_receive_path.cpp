// Throughput of the receive path for one 64 MiB record against a plain TCP
// read loop on loopback, measured in the same run: after one untimed run of
// each, five repetitions, the two alternating and taking turns at going
// first, each ratio printed with their median and the lowest. The plain loop
// reads into a buffer written before its clock starts; the same loop into a
// buffer allocated within its time (as a receiver of a record of unknown
// size must) shows what fresh memory costs on the host. Then the same
// transfer of a record holding one value of 64 MiB, timed until the host
// holds it decoded, each as one of a stream of such records: as a server or
// client hands it over (its value left in the buffer it was read into, so
// that every record is read into fresh memory), and decoded into a copy, as
// every record was before (read into the buffer the last one left).
// Run inside scripts/netns-run (it opens sockets and starts an engine).
// Lines starting with "@ " carry the figures for scripts/bench.sh.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "CKesAtom.h"
#include "CKesIOWorkPacket.h"
#include "CKesRecHdr.h"
#include "CKesRecord.h"
#include "CKesSockEngine.h"

namespace {

using benchsupport::ConnectTo;
using benchsupport::Fail;
using benchsupport::ListenLoopback;
using benchsupport::ReadAll;
using benchsupport::SendAll;
constexpr size_t kPayload = 64u << 20;
constexpr int kRepetitions = 5;
using Clock = std::chrono::steady_clock;

// What the host is handed: the packet's bytes, or the record they hold.
enum class Delivery { Bytes, RecordInPlace, RecordCopied };

class TimingEngine : public CKesSockEngine {
public:
    TimingEngine() : CKesSockEngine("bench-receive", __KES_SERV_TOOL, 2) {}
    ~TimingEngine() override { KSEStopWorkers(); } // a worker may still be in KesOnRvIO
    void KesOnRvIO(CKesIOWorkPacket* packet) override
    {
        std::unique_ptr<CKesRecord> record;
        size_t length = packet->KIWPGetPacketLength();
        if (delivery != Delivery::Bytes) {
            record.reset(delivery == Delivery::RecordInPlace ? packet->KIWPTakeRecord()
                                                             : packet->KIWPGetRecord());
            const CKesAtom* value = record ? record->KRValueOf("payload") : nullptr;
            length = value ? value->KALength() : 0;
        }
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Length = length;
        m_Done = Clock::now();
        m_Record = std::move(record); // let go by Wait, outside the time
        m_Arrived = true;
        m_Changed.notify_all();
    }
    Delivery delivery = Delivery::Bytes;
    bool Arrived()
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Arrived;
    }
    Clock::time_point Wait(size_t* length)
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        m_Changed.wait(hold, [&] { return m_Arrived; });
        m_Arrived = false; // ready for the next repetition
        *length = m_Length;
        m_Record.reset();
        return m_Done;
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    bool m_Arrived = false;
    size_t m_Length = 0;
    Clock::time_point m_Done;
    std::unique_ptr<CKesRecord> m_Record;
};

void Pair(int fd[2])
{
    sockaddr_in address{};
    const int listener = ListenLoopback(1, &address);
    fd[1] = ConnectTo(address, false);
    fd[0] = accept(listener, nullptr, nullptr);
    close(listener);
}

// fresh: the buffer is allocated after the clock starts, its pages first
// touched by the reads.
double PlainLoop(const std::vector<unsigned char>& frame, bool fresh)
{
    int fd[2];
    Pair(fd);
    std::vector<unsigned char> warm(fresh ? 0 : frame.size());
    auto start = Clock::now();
    std::unique_ptr<unsigned char, decltype(&free)> allocated(
        fresh ? static_cast<unsigned char*>(malloc(frame.size())) : nullptr, free);
    if (fresh && allocated == nullptr) Fail("no memory for the fresh buffer");
    unsigned char* into = fresh ? allocated.get() : warm.data();
    std::thread sender([&] { SendAll(fd[1], frame.data(), frame.size()); });
    ReadAll(fd[0], into, frame.size());
    auto end = Clock::now();
    sender.join();
    close(fd[0]);
    close(fd[1]);
    return std::chrono::duration<double>(end - start).count();
}

// Reads as the event-loop thread does for a server's or client's stream
// (KSEReadStream each time the socket is readable: the loop's own read
// buffer, and a large packet's bytes read straight into its buffer); the
// packet reaches KesOnRvIO on a worker because the socket belongs to no owner.
double ReceivePath(TimingEngine& engine, const std::vector<unsigned char>& frame,
                   Delivery delivery = Delivery::Bytes)
{
    engine.delivery = delivery;
    int fd[2];
    Pair(fd);
    auto start = Clock::now();
    std::thread sender([&] { SendAll(fd[1], frame.data(), frame.size()); });
    while (!engine.Arrived()) {
        pollfd readable{fd[0], POLLIN, 0};
        if (poll(&readable, 1, 1) == 1) engine.KSEReadStream(static_cast<unsigned int>(fd[0]));
    }
    size_t length = 0;
    auto end = engine.Wait(&length);
    sender.join();
    close(fd[0]);
    close(fd[1]);
    const size_t expected = delivery == Delivery::Bytes ? kPayload : kPayload - 16;
    if (length != expected) fprintf(stderr, "delivered %zu bytes, expected %zu\n", length, expected);
    return std::chrono::duration<double>(end - start).count();
}

// A frame of one record whose "payload" holds the frame's bytes beyond its
// headers: as long as kPayload, less the record's own few bytes.
std::vector<unsigned char> OneValueRecordFrame(const std::vector<unsigned char>& frame)
{
    CKesRecord record;
    record.KRAddValue("payload", CKesAtom(frame.data() + 4, kPayload - 16));
    unsigned char* encoded = nullptr;
    unsigned int length = 0;
    if (record.KOMEncode(&encoded, &length, CKesRecHdr::ms_HeaderLength) != 1)
        Fail("the record cannot be encoded");
    const uint32_t header = htonl(length);
    memcpy(encoded, &header, sizeof header);
    std::vector<unsigned char> framed(encoded, encoded + CKesRecHdr::ms_HeaderLength + length);
    free(encoded);
    return framed;
}

// A record's transfer as one of a stream of them: after one untimed, so that
// the buffer the engine keeps for the next large packet (or, for records
// delivered in place, none) is what the last record left.
double RecordInStream(TimingEngine& engine, const std::vector<unsigned char>& frame, Delivery delivery)
{
    ReceivePath(engine, frame, delivery);
    return ReceivePath(engine, frame, delivery);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    std::vector<unsigned char> frame(kPayload + 4);
    uint32_t header = htonl(static_cast<uint32_t>(kPayload));
    memcpy(frame.data(), &header, 4);
    for (size_t i = 4; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(i * 131);
    const std::vector<unsigned char> recordFrame = OneValueRecordFrame(frame);

    TimingEngine engine;
    std::vector<double> ratios, inPlaceRatios, copiedRatios;
    double plainMiBs = 0, freshMiBs = 0, pathMiBs = 0, inPlaceMiBs = 0, copiedMiBs = 0;
    const double mib = static_cast<double>(kPayload) / (1 << 20);
    // Untimed: a run's first transfers are the slowest (whichever of the two
    // went first ran at a half to two thirds of its later speed).
    PlainLoop(frame, false);
    ReceivePath(engine, frame);
    for (int i = 0; i < kRepetitions; ++i) {
        // The plain loop and the path take turns at going first, so that
        // neither always runs on what the other left warm or cold; the loop
        // into a fresh buffer runs between them, the records after them.
        double plain = 0, fresh = 0, path = 0, inPlace = 0, copied = 0;
        if (i % 2 == 0) {
            plain = PlainLoop(frame, false);
            fresh = PlainLoop(frame, true);
            path = ReceivePath(engine, frame);
            inPlace = RecordInStream(engine, recordFrame, Delivery::RecordInPlace);
            copied = RecordInStream(engine, recordFrame, Delivery::RecordCopied);
        } else {
            copied = RecordInStream(engine, recordFrame, Delivery::RecordCopied);
            inPlace = RecordInStream(engine, recordFrame, Delivery::RecordInPlace);
            path = ReceivePath(engine, frame);
            fresh = PlainLoop(frame, true);
            plain = PlainLoop(frame, false);
        }
        ratios.push_back(plain / path);
        inPlaceRatios.push_back(plain / inPlace);
        copiedRatios.push_back(plain / copied);
        printf("run %d: plain read loop %7.1f MiB/s (into a fresh buffer %7.1f), receive path %7.1f MiB/s, "
               "ratio %.2f; to a decoded record %7.1f MiB/s (decoded into a copy %7.1f)\n",
               i + 1, mib / plain, mib / fresh, mib / path, plain / path, mib / inPlace, mib / copied);
        plainMiBs += mib / plain / kRepetitions;
        freshMiBs += mib / fresh / kRepetitions;
        pathMiBs += mib / path / kRepetitions;
        inPlaceMiBs += mib / inPlace / kRepetitions;
        copiedMiBs += mib / copied / kRepetitions;
    }
    const double lowest = *std::min_element(ratios.begin(), ratios.end());
    printf("ratio (receive path / plain loop): median %.2f, lowest %.2f (target at least 0.50)\n",
           Median(ratios), lowest);
    printf("ratio (to a decoded record / plain loop): median %.2f; decoded into a copy: median %.2f\n",
           Median(inPlaceRatios), Median(copiedRatios));
    printf("@ rx_plain_mibs %.1f\n@ rx_plain_fresh_mibs %.1f\n@ rx_path_mibs %.1f\n@ rx_ratio_median %.2f\n"
           "@ rx_ratio_min %.2f\n@ rx_record_mibs %.1f\n@ rx_record_copied_mibs %.1f\n"
           "@ rx_record_ratio_median %.2f\n@ rx_record_copied_ratio_median %.2f\n",
           plainMiBs, freshMiBs, pathMiBs, Median(ratios), lowest, inPlaceMiBs, copiedMiBs,
           Median(inPlaceRatios), Median(copiedRatios));
    return 0;
}
