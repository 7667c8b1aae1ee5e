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
// Created by the event-loop thread for each registration of a socket (the
// socket and its registration's generation), so a new connection under a
// reused handle starts at zero, and a late release for a gone connection only
// reaches a dead registration. Shared by the packets that carry charges.
// Threads: Charge and PauseIfFull on the loop thread; Release on any thread.
// Locks: m_Lock (pausing and resuming; charging, and releasing while the
// socket is not paused, take none), taken outside
// the event loop's lock (KRNPauseIO and KRNResumeIO are called under it so
// that a pause and the resume that follows it cannot overtake each other).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "CKesRvNet.h"

class CKesReceiveBacklog {
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

    uint32_t Generation() const { return m_Generation; }
    // Without the lock: the loop thread charges every packet of a read, and
    // the workers' releases would wait for it. Safe because every charge is
    // followed by its release, which decides about resuming under the lock
    // with the counts as they are then.
    void Charge(long long bytes, int packets) { m_Counts += Packed(bytes, packets); }
    // Loop thread, after a read has been queued: when the backlog is over
    // either cap, stops reading the socket. True when it is (now) paused.
    bool PauseIfFull()
    {
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
    // True when the backlog is over either cap (datagram sockets drop then).
    bool IsFull() const { return OverCaps(); }
    // Charged packets are finished; a paused socket is read again once both
    // counts are below half their caps (harmless when the connection is gone).
    // Every packet ends here: the lock only when the socket is paused.
    void Release(long long bytes, int packets)
    {
        m_Counts -= Packed(bytes, packets);
        if (!m_Paused) return;
        std::lock_guard<std::mutex> hold(m_Lock);
        if (!m_Paused || !Drained()) return;
        m_Paused = false;
        m_Loop->KRNResumeIO(m_Socket, m_Generation);
    }
    long long Bytes() const { return BytesOf(m_Counts.load()); }

    // The bytes of fragment buffers (incomplete packets) of the whole
    // process, counted against the engine's reassembly limit.
    static std::atomic<long long>& ReassemblyBytes()
    {
        static std::atomic<long long> bytes{0};
        return bytes;
    }

private:
    // The counts and the mark are atomic (sequentially consistent, which the
    // pause and the releases rely on); the lock orders the decisions on m_Paused.
    bool OverCaps() const
    {
        const uint64_t counts = m_Counts.load();
        return BytesOf(counts) > m_CapBytes || PacketsOf(counts) > ms_PacketCap;
    }
    bool Drained() const
    {
        const uint64_t counts = m_Counts.load();
        return BytesOf(counts) < m_CapBytes / 2 && PacketsOf(counts) < ms_PacketCap / 2;
    }
    // Bytes and packets share one word, so that a charge and a release are
    // one atomic step each. Neither part goes below zero (a release follows
    // its own charge) or near its top: the backlog stays within a cap plus
    // one read, far below 2^40 bytes and 2^24 packets.
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

    CKesRvNet* const m_Loop; // not owned; outlives the packets (the engine's)
    const unsigned int m_Socket;
    const uint32_t m_Generation;       // the registration this backlog counts for
    const long long m_CapBytes;        // the engine's cap when the registration began
    std::mutex m_Lock;                 // guards m_Paused and the decisions on it
    std::atomic<uint64_t> m_Counts{0}; // charges of packets not yet destroyed and their number (Packed)
    std::atomic<bool> m_Paused{false}; // this backlog paused the socket
};
