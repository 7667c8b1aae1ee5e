// CKesReceiveBacklog (internal to the library's sources; not installed): what
// one connection has read but its owner has not yet finished, counted so the
// receive path can stop reading a connection that floods it (back-pressure:
// TCP then slows the sender) and read it again once the backlog has halved.
//
// Each queued packet carries a charge (CKesIOWorkPacket::KIWPCharge): its
// payload plus ms_PacketOverhead, the memory a queued packet costs beside its
// payload (packet object, address block, allocator and queue bookkeeping), so
// that small records count honestly. The charge is released when the packet
// is destroyed, wherever that happens: a worker, a drop, an owner that kept it
// and let it go. A copy of a packet is charged again.
//
// One per socket handle, made by the event-loop thread at the handle's first
// read and kept by the engine until it ends, so that the packets it makes hold
// a plain pointer; a copy holds a reference, and may outlive the engine,
// which retires its backlogs as it ends (Retire). A new registration of the
// handle (a new connection) renews it: the pause of the old one no longer
// applies, and packets of the old one still count until they are gone, since
// their memory is still in use.
// Threads: Renew, Charge, PauseIfFull and PauseUntilFinished on the loop thread; Release on any
// thread; Retire on the thread that destroys the engine, once no loop runs.
// The loop thread's charges and the releases are kept apart, each on a cache
// line of its own, and the loop thread looks at the releases only when its
// own count says the backlog may be full: a packet costs no cache line passed
// between the reading core and the working one.
// Locks: m_Lock (pausing, resuming and renewing; charging, and releasing while
// the socket is not paused, take none), taken outside
// the event loop's lock (KRNPauseIO and KRNResumeIO are called under it so
// that a pause and the resume that follows it cannot overtake each other).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "CKesRvNet.h"

class CKesReceiveBacklog : public std::enable_shared_from_this<CKesReceiveBacklog> {
public:
    // What a queued packet costs beside its payload (measured: about 167
    // bytes per queued 28-byte record before there was a bound).
    static constexpr long long ms_PacketOverhead = 160;
    // Packets queued for one connection before it is paused, whatever their
    // bytes: with one pool queue for all connections, a bystander's record
    // waits behind at most this many records of a flooding connection (plus
    // one read's worth), not behind the whole byte cap.
    static constexpr int ms_PacketCap = 256;

    // loop: the event loop that pauses and resumes the socket (null: never
    // paused, e.g. datagram sockets, which are bounded by dropping instead).
    CKesReceiveBacklog(CKesRvNet* loop, unsigned int socket, uint32_t generation, long long capBytes)
        : m_Loop(loop), m_Socket(socket), m_Generation(generation), m_CapBytes(capBytes)
    {
    }
    CKesReceiveBacklog(const CKesReceiveBacklog&) = delete;
    CKesReceiveBacklog& operator=(const CKesReceiveBacklog&) = delete;

    // The registration now counted for (loop thread).
    uint32_t Generation() const { return m_Generation; }
    // Loop thread: the handle's new registration, with the engine's cap now.
    void Renew(uint32_t generation, long long capBytes)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Generation = generation;
        m_CapBytes = capBytes;
        m_Paused = false; // the old registration's pause went with it
        m_UntilEmpty = false;
    }
    // Loop thread. Without the lock: the loop thread charges every packet of
    // a read, and the workers' releases would wait for it. Safe because
    // every charge is followed by its release, which decides about resuming
    // under the lock with the counts as they are then.
    void Charge(long long bytes, int packets)
    {
        m_Charged.store(m_Charged.load(std::memory_order_relaxed) + Packed(bytes, packets),
                        std::memory_order_release);
    }
    // Any thread: a copy of a charged packet, which waits with its own
    // memory. Counted as a release taken back, so that the loop thread's
    // count stays its own; the loop thread sees it at its next look at the
    // releases, at most one cap of reads later.
    void ChargeCopy(long long bytes, int packets) { m_Released -= Packed(bytes, packets); }
    // Loop thread, after a read has been queued: when the backlog is over
    // either cap, stops reading the socket. True when it is (now) paused.
    bool PauseIfFull()
    {
        // The releases last seen can only have grown since: when the count
        // with them is under the caps, so is the backlog.
        if (!Over(m_Charged.load(std::memory_order_relaxed) - m_SeenReleased)) return false;
        m_SeenReleased = m_Released.load();
        // Only this thread charges, so a backlog under its caps now stays
        // under them until this thread looks again: no lock needed to see it.
        if (!OverCaps()) return false;
        std::lock_guard<std::mutex> hold(m_Lock);
        if (m_Paused || !OverCaps()) return m_Paused;
        // Marked before the counts are looked at again: a release either
        // sees the mark and decides under the lock, or came before it and
        // is seen in the counts here.
        m_Paused = true;
        if (m_Loop == nullptr || m_Loop->KRNPauseIO(m_Socket, m_Generation) != 1) {
            m_Paused = false;
            return false;
        }
        if (!Drained()) return true;
        m_Paused = false;
        m_Loop->KRNResumeIO(m_Socket, m_Generation);
        return false;
    }
    // Loop thread, having read the end of the stream or a header that
    // breaks it: while packets are still pending, stops reading the socket
    // until every one is finished, so that the end or the break is handled
    // after them, when the loop turns to the socket again. True when it is
    // (now) paused; false when nothing is pending and it may be handled at
    // once.
    bool PauseUntilFinished()
    {
        if (Pending() == 0) return false;
        std::lock_guard<std::mutex> hold(m_Lock);
        if (m_Paused) return true;
        // Marked first, as in PauseIfFull: a release either sees the mark
        // and decides under the lock, or is seen in the count here.
        m_Paused = true;
        m_UntilEmpty = true;
        if (m_Loop != nullptr && m_Loop->KRNPauseIO(m_Socket, m_Generation) == 1) {
            if (Pending() != 0) return true;
            m_Loop->KRNResumeIO(m_Socket, m_Generation);
        }
        m_Paused = false;
        m_UntilEmpty = false;
        return false;
    }
    // True when the backlog is over either cap (datagram sockets drop then).
    bool IsFull() const { return OverCaps(); }
    // Charged packets are finished; a paused socket is read again once both
    // bytes are at most half their cap and the packets below half theirs
    // (harmless when the connection is gone).
    // Every packet ends here: the lock only when the socket is paused. A
    // socket paused at its end is read again once nothing is pending.
    void Release(long long bytes, int packets)
    {
        m_Released += Packed(bytes, packets);
        if (!m_Paused) return;
        std::lock_guard<std::mutex> hold(m_Lock);
        if (!m_Paused || !(m_UntilEmpty ? Pending() == 0 : Drained())) return;
        m_Paused = false;
        m_UntilEmpty = false;
        m_Loop->KRNResumeIO(m_Socket, m_Generation);
    }
    long long Bytes() const { return BytesOf(Pending()); }
    // The engine is going: its loop with it. A copy of a packet may still
    // hold this backlog and be released later; it then resumes nothing.
    void Retire()
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Loop = nullptr;
        m_Paused = false;
        m_UntilEmpty = false;
    }

    // The bytes of fragment buffers (incomplete packets) of the whole
    // process, counted against the engine's reassembly limit.
    static std::atomic<long long>& ReassemblyBytes()
    {
        static std::atomic<long long> bytes{0};
        return bytes;
    }

private:
    // The counts and the mark are atomic (the releases and the mark
    // sequentially consistent, which the pause and the releases rely on); the
    // lock orders the decisions on m_Paused.
    uint64_t Pending() const { return m_Charged.load() - m_Released.load(); }
    bool Over(uint64_t counts) const
    {
        return BytesOf(counts) > m_CapBytes || PacketsOf(counts) > ms_PacketCap;
    }
    bool OverCaps() const { return Over(Pending()); }
    bool Drained() const
    {
        const uint64_t counts = Pending();
        // Bytes at most half (not below): a cap of one byte resumes once
        // nothing is pending.
        return BytesOf(counts) <= m_CapBytes / 2 && PacketsOf(counts) < ms_PacketCap / 2;
    }
    // Bytes and packets share one word, so that a charge and a release are
    // one atomic step each. The totals wrap around, but their difference is
    // exact: neither part of what is pending goes below zero (a release
    // follows its own charge) or near its top (the backlog stays within a
    // cap plus one read, far below 2^40 bytes and 2^24 packets).
    static constexpr int kPacketShift = 40;
    static uint64_t Packed(long long bytes, int packets)
    {
        return static_cast<uint64_t>(bytes) + (static_cast<uint64_t>(packets) << kPacketShift);
    }
    static long long BytesOf(uint64_t counts)
    {
        return static_cast<long long>(counts & ((uint64_t{1} << kPacketShift) - 1));
    }
    static long long PacketsOf(uint64_t counts) { return static_cast<long long>(counts >> kPacketShift); }

    static constexpr std::size_t kLine = 64; // a cache line
    CKesRvNet* m_Loop;                       // not owned (the engine's); null once retired (under m_Lock)
    const unsigned int m_Socket;
    uint32_t m_Generation;             // the registration counted for (written under m_Lock)
    long long m_CapBytes;              // the engine's cap when the registration began (ditto)
    std::mutex m_Lock;                 // guards m_Paused, the registration and the decisions
    std::atomic<bool> m_Paused{false}; // this backlog paused the socket
    bool m_UntilEmpty = false;         // ... at its end, until nothing is pending (under m_Lock)
    // Charges (Packed totals), written by the loop thread alone, and the
    // releases it saw last.
    alignas(kLine) std::atomic<uint64_t> m_Charged{0};
    uint64_t m_SeenReleased = 0;
    // Releases (Packed totals, less copies' charges), written by any thread;
    // the class's alignment rounds its size to whole lines, so no other
    // object shares this one.
    alignas(kLine) std::atomic<uint64_t> m_Released{0};
};
