// CKesIOWorkPacket: one received packet on its way to a worker: the payload
// (TCP: the encoded record without its header; UDP: the whole datagram), the
// socket it came from, the sender's address and the engine that received it.
// Also holds an incomplete TCP fragment in the engine's fragment table.
//
// Created by the receive path on the event-loop thread (or by
// CKesRecHdr::KRHGetWorkStack); owned by whoever holds it; the worker that
// processes it destroys it. A server that keeps a packet for later queues a
// copy (copy constructor), never the packet handed to it.
// Threads: one thread at a time. Locks: none.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "CKesListable.h"
#include "KesErrorCodes.h"

class CKesPageFiller;
class CKesReceiveBacklog;
class CKesRecord;

class CKesIOWorkPacket : public CKesListable {
public:
    // Size of an IPv4 socket address.
    static constexpr unsigned int ms_DefaultSockAddrLen = 16;

    // Invalid socket, no buffers, zero lengths.
    CKesIOWorkPacket();
    // Stores all six values; takes over `packet` and `source` (malloc'd)
    // without copying them.
    CKesIOWorkPacket(unsigned int socket, unsigned char* packet, unsigned int length, void* sockServer,
                     sockaddr* source, unsigned int sourceLength);
    // Deep copy: the copy owns its own payload and source buffers. A failed
    // allocation reports KES_ERR_ALLOCATION and leaves that buffer null and its length 0.
    CKesIOWorkPacket(const CKesIOWorkPacket& other);
    // One packet inside a run of whole packets (see KIWPSetWholePackets),
    // borrowing the run's payload bytes and source: it owns nothing, is never
    // charged, and must not outlive the run. It tells the run's generation.
    CKesIOWorkPacket(const CKesIOWorkPacket& run, unsigned char* payload, unsigned int length);
    // Frees payload and source (a borrowing packet frees nothing, and the
    // copies of KIWPNewInBlock go with the packet's own block).
    ~CKesIOWorkPacket() override;
    // A packet carrying copies of its payload and source address in its own
    // block: one allocation instead of three. A small packet's block comes
    // from a cache that KIWPDelete gives it back to, so that the loop thread,
    // which makes the packets that workers delete, is not served by malloc's
    // slow path every time. Null (reported) when memory is short.
    static CKesIOWorkPacket* KIWPNewInBlock(unsigned int socket, const unsigned char* payload,
                                            unsigned int length, void* sockServer, const sockaddr* source,
                                            unsigned int sourceLength);
    // Deletes the packet (null is ignored); a block of KIWPNewInBlock's
    // cache goes back to it. Plain `delete` is right for every packet too.
    static void KIWPDelete(CKesIOWorkPacket* packet) noexcept;
    // Every packet lives in a malloc'd block, however it was made, so that
    // `delete` fits KIWPNewInBlock's packets too.
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void* operator new(std::size_t, void* where) noexcept { return where; }
    static void operator delete(void* block) noexcept;
    static void operator delete(void* block, const std::nothrow_t&) noexcept;
    static void operator delete(void*, void*) noexcept {}

    // A new packet copied from source (a CKesIOWorkPacket), or null.
    CKesListable* KLTargetDeepCopy(const CKesListable* source) override;

    // Setters return 1, or a code without reporting it.
    int KIWPSetSocket(unsigned int socket);
    // Takes over the malloc'd buffer; null: KES_ERR_ARGUMENT. A buffer held before is
    // NOT freed (the caller may have moved or reallocated it).
    int KIWPSetPacket(unsigned char* packet);
    int KIWPSetPacketLength(unsigned int length);
    // The engine that received the packet; null: KES_ERR_ARGUMENT.
    int KIWPSetSockServer(void* sockServer);
    // Takes over the malloc'd address block; null: KES_ERR_ARGUMENT. A different
    // block held before is freed.
    int KIWPSetSource(sockaddr* source, unsigned int length);
    // Stores a private copy of the address; null: KES_ERR_ARGUMENT, length 0:
    // KES_ERR_ZERO_LENGTH, allocation failure: KES_ERR_ALLOCATION. The block held before is freed.
    int KIWPSetSource(const sockaddr* source, unsigned int length);

    unsigned int KIWPGetSocket() const;
    unsigned char* KIWPGetPacket() const;
    unsigned int KIWPGetPacketLength() const;
    void* KIWPGetSockServer() const;
    sockaddr* KIWPGetSource() const;
    unsigned int KIWPGetSourceLen() const;

    // Decodes the payload into a new record that the caller owns and
    // deletes. Always returns a record (empty when the payload is missing,
    // empty or malformed; each of those is reported, a malformed one as
    // KES_ERR_DECODE with the decoder's reason and the socket).
    CKesRecord* KIWPGetRecord();
    // KIWPGetRecord for a worker that is done with the payload once it is
    // decoded: a large value (CKesRecord::KOMDecodeAdopting) keeps its bytes
    // in the packet's buffer, which then goes with the record, leaving the
    // packet without a payload (length 0).
    CKesRecord* KIWPTakeRecord();
    // One line describing the packet on standard output.
    void KIWPDump();

    // Memory accounting of the receive path (see CKesReceiveBacklog), on
    // the event-loop thread: the packet counts against its connection's
    // backlog until it is destroyed, and is marked with the backlog's
    // registration; a copy is charged again. Charging twice replaces the
    // first charge. The backlog outlives the packet (the engine keeps it);
    // a copy keeps it alive itself.
    void KIWPCharge(CKesReceiveBacklog* backlog);
    // The registration of the socket that the charged bytes were read from
    // (CKesRvNet's generation; a borrowing packet: its run's), or 0 for a
    // packet charged to no connection.
    uint32_t KIWPGetGeneration() const { return m_Generation; }
    // A fragment's buffer size counted against the process-wide reassembly
    // total until it is destroyed or charged anew (0 ends the count).
    void KIWPSetReassemblyCharge(long long bytes);
    long long KIWPGetReassemblyCharge() const { return m_Reassembly; }
    // A fragment's buffer populated by `filler` from byte `from` to `to`
    // while the receive path reads into its front; false when the filler
    // cannot (the caller populates or faults in itself). The filling stops
    // before the buffer moves, completes or goes: KIWPStopFilling, which the
    // destructor calls too. A copy is never filled.
    bool KIWPFillAhead(CKesPageFiller* filler, unsigned long long from, unsigned long long to);
    void KIWPStopFilling();
    // The packet's large buffer goes to `keeper` (CKesPageFiller::KPFKeep)
    // instead of free() when the packet goes, for the next large packet to
    // reuse. Undone by KIWPSetPacket; a copy never has one.
    void KIWPKeepBufferWith(CKesPageFiller* keeper) { m_Keeper = keeper; }
    // A fragment whose header has been taken off (the receive path), so that
    // the completed payload is already at the front of its buffer: the
    // length the header declared; -1 (the default) while it holds no header
    // or a header still in place.
    void KIWPSetStrippedLength(long long declared) { m_Stripped = declared; }
    long long KIWPGetStrippedLength() const { return m_Stripped; }
    // A stream read's whole packets in one work item (the receive path): the
    // payload is `count` packets back to back, each with its header, all
    // within the packet limit; a worker walks them in order. 0 (the
    // default): the payload is one packet without its header. Set it before
    // charging: each packet of the run is charged as a packet of its own.
    void KIWPSetWholePackets(unsigned int count) { m_WholePackets = count; }
    unsigned int KIWPGetWholePackets() const { return m_WholePackets; }

private:
    CKesIOWorkPacket& operator=(const CKesIOWorkPacket&) = delete;

    // What the packet counts against its backlog: m_Charge and m_ChargedPackets.
    void SetCharge();
    // KIWPGetRecord, or KIWPTakeRecord when the buffer may go with the record.
    CKesRecord* NewRecord(bool mayAdopt);
    // Writes the source address part of the dump line.
    void DumpSource() const;
    // True for a buffer inside this packet's own block (KIWPNewInBlock).
    bool InOwnBlock(const void* buffer) const;

    unsigned int m_Socket;                             // socket the data was read from
    unsigned char* m_Packet;                           // owned (malloc): the payload, or null
    unsigned int m_PacketLength;                       // payload bytes
    void* m_SockServer;                                // not owned: the receiving CKesSockEngine
    sockaddr* m_Source;                                // owned (malloc): sender's address, or null
    unsigned int m_SourceLength;                       // bytes in m_Source (16 IPv4, 28 IPv6)
    CKesReceiveBacklog* m_Backlog = nullptr;           // the connection charged, or null
    std::shared_ptr<CKesReceiveBacklog> m_KeptBacklog; // a copy's: keeps m_Backlog alive
    long long m_Charge = 0;                            // bytes charged to m_Backlog
    int m_ChargedPackets = 0;                          // packets charged to m_Backlog
    long long m_Reassembly = 0;                        // bytes counted as reassembly memory
    CKesPageFiller* m_Filler = nullptr;                // populating the buffer (the engine's), or null
    CKesPageFiller* m_Keeper = nullptr;                // takes m_Packet when the packet goes, or null
    long long m_Stripped = -1;                         // see KIWPSetStrippedLength
    unsigned int m_WholePackets = 0;                   // see KIWPSetWholePackets
    bool m_Borrowed = false;                           // payload and source belong to a run
    uint32_t m_Generation = 0;                         // see KIWPGetGeneration
    unsigned int m_BlockSize = 0; // bytes of the block beyond the packet (KIWPNewInBlock)
    bool m_CachedBlock = false;   // the block is one of KIWPNewInBlock's cache
};
