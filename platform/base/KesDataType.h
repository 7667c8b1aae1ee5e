// EKesDataType: the type of a CKesAtom's value.
#pragma once

enum EKesDataType {
    KES_DT_NONE = 0,   // no value
    KES_DT_INT = 1,    // int
    KES_DT_STRING = 2, // NUL-terminated text
    KES_DT_LONG = 3,   // long
    KES_DT_INT64 = 4,  // signed 64-bit integer
    KES_DT_DOUBLE = 5, // 64-bit float
    KES_DT_BYTES = 6   // byte string (may hold NUL bytes)
};
