// Feeds arbitrary bytes to the record decoder. Whatever it accepts must
// re-encode and decode again to the same content; whatever it refuses must
// leave the record empty. The sanitizers catch any out-of-bounds read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "CKesRecord.h"
#include "FuzzChecks.h"

using ksxfuzz::Check;
using ksxfuzz::SameContent;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > UINT32_MAX) return 0;
    CKesRecord record;
    if (record.KOMDecode(data, static_cast<unsigned int>(size)) != 1) {
        Check(record.KRCount() == 0);
        return 0;
    }
    unsigned char* encoded = nullptr;
    unsigned int length = 0;
    Check(record.KOMEncode(&encoded, &length) == 1);
    Check(length <= size); // smallest forms never grow the input
    CKesRecord again;
    Check(again.KOMDecode(encoded, length) == 1);
    Check(SameContent(record, again));
    free(encoded);
    return 0;
}
