// CKesRecHdr: the TCP framing of one packet (a 4-byte network-order data
// length followed by one encoded record), and the splitter that turns a
// received TCP byte run back into packets, keeping an incomplete tail.
//
// Created and destroyed by its user: senders make one per packet they send
// (KRHFrameRecord, or the framing constructor for encoded bytes), the
// receive path makes one per read it splits.
// Threads: one thread at a time uses an instance. The process-wide packet
// length limit (KRHSetMaxPacketLength) may be read and set from any thread.
// Locks: none.
#pragma once

#include <optional>

#include "CKesListable.h"
#include "KesErrorCodes.h"

class CKesBaseRecord;
class CKesRecord;
class CKesStack;

class CKesRecHdr : public CKesListable {
public:
    // Length of the wire header in bytes.
    static constexpr int ms_HeaderLength = 4;
    // Default limit on the declared data length of one received packet.
    static constexpr unsigned int ms_DefaultMaxPacketLength = 64u * 1024u * 1024u;

    // An empty header (KRHInitialise).
    CKesRecHdr();
    // Frames `length` bytes of `data`: header and a copy of the data in one
    // malloc'd buffer. A negative or oversized length or null data reports
    // KES_ERR_ARGUMENT and leaves the header empty.
    CKesRecHdr(const unsigned char* data, int length);
    // Deep copy of the other header's buffer and lengths.
    CKesRecHdr(const CKesRecHdr& other);
    // Encodes the record straight behind a header in one malloc'd buffer
    // (the sending side's frame: one allocation, no copy), replacing what
    // the header held. Returns KOMEncode's result; when the encoding is too
    // long for a frame, KES_ERR_ARGUMENT is reported as by the framing
    // constructor and the header is left empty, as that constructor leaves it.
    int KRHFrameRecord(const CKesBaseRecord& record);
    // Frames the record into out when its frame fits in room bytes (a small
    // record sent at once needs no allocation). The frame's length; 0 when
    // it does not fit (out untouched); KOMEncodedLength's error otherwise.
    static int KRHFrameRecordInto(const CKesBaseRecord& record, unsigned char* out, unsigned int room);
    // The room a sender keeps on its stack for such a frame.
    static constexpr unsigned int ms_SmallFrame = 512;
    // One record framed for one send (below).
    class RecordFrame;
    // Frames count records back to back in one malloc'd buffer, each behind
    // its own header, in order (a batch the sender writes at once), replacing
    // what the header held. A null record or one that cannot be encoded is
    // reported (KES_ERR_ARGUMENT) and left out; the others are framed. Returns
    // 1 when every record was framed, else the first failure's code.
    // *framed (when not null) counts the frames in the buffer. A batch past
    // 2 GiB, or no memory for it, frames nothing (KES_ERR_ARGUMENT,
    // KES_ERR_ALLOCATION).
    int KRHFrameRecords(CKesRecord* const* records, unsigned int count, unsigned int* framed);
    // Frees the packet buffer, if any.
    ~CKesRecHdr() override;

    // A new header copied from source (a CKesRecHdr); null (after KES_ERR_ALLOCATION)
    // when it cannot be allocated.
    CKesListable* KLTargetDeepCopy(const CKesListable* source) override;

    // Forgets the buffer without freeing it (for a caller that took it over)
    // and clears the lengths and the broken-framing flag.
    void KRHInitialise();
    int KRHGetDataLen();
    int KRHGetTotalLen();
    // The packet buffer (what is written to the socket), or, after
    // KRHGetWorkStack, the incomplete tail; null when empty.
    unsigned char* KRHGetData();
    // The encoded record inside the frame (buffer plus header length).
    unsigned char* KRHGetKOMPData();
    // Splits a run expected to hold whole packets and decodes each record.
    // A stack of new CKesRecord objects (caller owns stack and records), or
    // null when none decoded. A record that does not decode is reported
    // (KES_ERR_DECODE with the decoder's reason) and left out. A declared
    // length past the end of the run or above the limit reports
    // KES_ERR_FRAMING and stops; what was decoded before is returned.
    CKesStack* KRHGetDataRecords(unsigned char* buffer, unsigned int length);
    // Splits a received run into work packets (payload without header), in
    // input order, and keeps an incomplete tail (header included) in this
    // header's buffer: read it with KRHGetData/KRHGetTotalLen. Returns a
    // stack of new CKesIOWorkPacket objects (caller owns both) or null.
    // A header declaring more than the limit is broken framing: KES_ERR_FRAMING is
    // reported (rate-limited: a peer can send any number), splitting stops, no tail is kept and KRHIsBroken()
    // becomes true; the packets before it are still returned.
    CKesStack* KRHGetWorkStack(unsigned char* buffer, unsigned int length);
    // The same split without copying: the length of the run's leading whole
    // packets (headers included), their number in *count (when not null).
    // The incomplete tail is kept and a header above the limit marks the
    // stream broken, as with KRHGetWorkStack.
    unsigned int KRHWholePackets(const unsigned char* buffer, unsigned int length, unsigned int* count);
    // Hexadecimal dump of the packet buffer on standard output.
    void KRHDumpPacket();

    // True after KRHGetWorkStack, KRHWholePackets or KRHGetDataRecords met a header above
    // the packet length limit; the stream can no longer be framed and its
    // connection should be closed. Cleared by KRHInitialise.
    bool KRHIsBroken() const;

    // The declared data length of a buffer that starts at a packet header,
    // whether or not the rest has arrived (for reassembly: the receive path
    // grows its fragment buffer towards it as bytes arrive). -1 when
    // the buffer is null or holds fewer than the header's 4 bytes.
    static long long KRHPeekDataLen(const unsigned char* buffer, unsigned int length);
    // The process-wide limit on the declared data length of one received
    // packet (default 64 MiB). Values above 2 GiB - 5 are lowered to it so
    // a whole packet's length always fits the signed total length.
    static void KRHSetMaxPacketLength(unsigned int maxLength);
    static unsigned int KRHGetMaxPacketLength();

private:
    CKesRecHdr& operator=(const CKesRecHdr&) = delete;

    // Stores bytes [offset, length) of the run as the tail.
    void KeepTail(const unsigned char* buffer, unsigned int offset, unsigned int length);
    // Reports a declared length above the limit and marks the stream broken.
    void MarkBroken(unsigned long long declared);
    // Frees the packet buffer and clears the lengths.
    void FreeBuffer();
    // Takes over a buffer holding room for the header and `length` bytes of
    // data behind it, and writes the header.
    void AdoptFrame(unsigned char* buffer, int length);

    unsigned char* m_Packet; // owned (malloc): framed packet or kept tail; null when empty
    int m_TotalLen;          // valid bytes in m_Packet
    int m_DataLen;           // bytes of encoded record (framed headers only)
    int m_HeaderLen;         // wire header length, always 4
    bool m_Broken;           // a header above the limit was met
};

// One record framed for one send: inside this object (on the sender's
// stack, no allocation) when the frame fits ms_SmallFrame, otherwise in a
// header's malloc'd buffer.
class CKesRecHdr::RecordFrame {
public:
    explicit RecordFrame(const CKesBaseRecord& record);
    RecordFrame(const RecordFrame&) = delete;
    RecordFrame& operator=(const RecordFrame&) = delete;
    // 1 when framed; otherwise the encoder's error (nothing to send).
    int Result() const { return m_Result; }
    unsigned char* Data() { return m_Data; }
    unsigned int Length() const { return m_Length; }

private:
    unsigned char m_Small[ms_SmallFrame];
    std::optional<CKesRecHdr> m_Large; // made only for a frame that does not fit
    unsigned char* m_Data = nullptr;
    unsigned int m_Length = 0;
    int m_Result = 1;
};
