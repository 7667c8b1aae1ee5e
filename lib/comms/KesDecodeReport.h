// KesDecodeReport (internal to the library's sources; not installed): the one
// report of a record that cannot be decoded, made alike by every module that
// decodes received bytes (work packets, the record header, the engine's
// receive path). Any thread; no locks.
#pragma once

#include <cstdio>

#include "CKesError.h"
#include "CKesRecord.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

// Reports a KOMDecode result other than 1 under the module's source name. A
// refused record (KES_ERR_DECODE) gets the text "Record cannot be decoded: "
// with the decoder's reason and, unless it is the invalid socket, the
// socket it came from; any other code is reported without a text. Call it on
// the thread that decoded, before it decodes again.
inline void KesReportDecodeFailure(int code, const char* source, int line, unsigned int socket = KES_INVALID_SOCKET)
{
    if (code != KES_ERR_DECODE) {
        CKesError(code, source, line, nullptr);
        return;
    }
    const char* why = CKesRecord::KOMDecodeRefusal();
    char text[160];
    if (socket == KES_INVALID_SOCKET)
        std::snprintf(text, sizeof text, "Record cannot be decoded: %s", why ? why : "no reason given");
    else
        std::snprintf(text, sizeof text, "Record cannot be decoded: %s (socket %u)", why ? why : "no reason given",
                      socket);
    CKesError(code, source, line, text);
}
