// Parses arbitrary bytes as a service file: the scanner and grammar must end
// every input without crashing, leaking or reading past it, and leave a table
// whose every record carries the key it is filed under.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CKesDoubleList.h"
#include "CKesPointer.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesTreeList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Syntax reports and dumps are expected: keep them off the fuzzer's
    // output (error reports go to stderr; run with -close_fd_mask=2 to drop them).
    static FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    std::string text(reinterpret_cast<const char*>(data), size);
    CKesServiceDataParser parser;
    parser.KSDPParse(text.data());
    CKesDoubleList* entries = parser.KSDPResults()->KTLIterator();
    for (CKesListable* item = entries ? entries->KDLHead() : nullptr; item;
         item = entries->KDLGetNext(item)) {
        auto* record = static_cast<CKesSockEnd*>(static_cast<CKesPointer*>(item)->KPData());
        if (parser.KSDPGetServiceData(record->KSEGetEndPointDomain(), record->KSEGetServiceName()) != record)
            std::abort();
    }
    return 0;
}
