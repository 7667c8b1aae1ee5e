// Records and frames the benchmark programs that link the library share: a
// record of an exact encoded size, a record's frame as the wire carries it,
// and the greeting the library's client sends first.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CKesRecord.h"
#include "CKesSockEnd.h"

namespace benchsupport {

using Bytes = std::vector<unsigned char>;

// The frame of a record: its 4-byte length, then its encoding.
inline Bytes FrameOf(const CKesRecord& record)
{
    unsigned char* encoded = nullptr;
    unsigned int length = 0;
    if (record.KOMEncode(&encoded, &length) != 1) Fail("a record cannot be encoded");
    Bytes frame(4 + length);
    const uint32_t header = htonl(length);
    memcpy(frame.data(), &header, 4);
    memcpy(frame.data() + 4, encoded, length);
    free(encoded);
    return frame;
}

// A record with one text value under name whose encoding is exactly bytes long.
inline std::unique_ptr<CKesRecord> RecordOfSize(const char* name, unsigned bytes)
{
    for (unsigned filler = 0; filler < bytes; ++filler) {
        auto record = std::make_unique<CKesRecord>();
        record->KRAddValue(name, std::string(filler, 'x').c_str());
        if (FrameOf(*record).size() == 4 + bytes) return record;
    }
    Fail("no record of the wanted size");
}

// The greeting the library's client sends first on every connection.
inline Bytes ClientIdFrame(const std::string& id)
{
    std::unique_ptr<CKesRecord> record(CKesSockEnd::KSEGetClientIdPacket(id.c_str()));
    if (!record) Fail("no client-id record");
    return FrameOf(*record);
}

} // namespace benchsupport
