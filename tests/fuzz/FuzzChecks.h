// What the record fuzz targets check: a failed check aborts, which the
// fuzzer reports with the input that caused it.
#pragma once

#include <cstdlib>
#include <cstring>

#include "CKesRecord.h"

namespace ksxfuzz {

inline void Check(bool condition)
{
    if (!condition) abort();
}

// The same values under the same names, in the same order.
inline bool SameContent(const CKesRecord& a, const CKesRecord& b)
{
    if (a.KRCount() != b.KRCount()) return false;
    for (int i = 0; i < a.KRCount(); ++i) {
        if (strcmp(a.KRValueAt(i)->KVBName(), b.KRValueAt(i)->KVBName()) != 0) return false;
        if (*a.KRValueAt(i)->KVBValue() != *b.KRValueAt(i)->KVBValue()) return false;
    }
    return true;
}

} // namespace ksxfuzz
