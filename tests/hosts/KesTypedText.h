// Records as one line of typed words for the host programs other languages' tests drive:
// "name:i=-5" (integer), "name:s=6869" (text bytes in hex), "name:f=3ff8000000000000" (the 64-bit
// float's big-endian bits in hex), "name:b=00ff" (bytes in hex), one blank apart, in the record's
// order. Hex keeps blanks, NUL bytes and non-UTF-8 texts exact. Also the hosts' output lines.
#pragma once

#include <endian.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>

#include "CKesRecord.h"

namespace ksxhost {

// Output lines stay whole across threads; a thread holding PrintLock() keeps others' lines after its own.
inline std::recursive_mutex& PrintLock()
{
    static std::recursive_mutex lock;
    return lock;
}
inline void Say(const std::string& line)
{
    std::lock_guard<std::recursive_mutex> hold(PrintLock());
    printf("%s\n", line.c_str());
    fflush(stdout);
}

inline std::string Hex(const void* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const auto* byte = static_cast<const unsigned char*>(data); length > 0; --length, ++byte)
        out += {digits[*byte >> 4], digits[*byte & 15]};
    return out;
}

inline bool Unhex(const std::string& hex, std::string* bytes)
{
    if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    for (size_t i = 0; i < hex.size(); i += 2)
        bytes->push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return true;
}

// The record as typed words ("" for an empty record).
inline std::string TypedText(const CKesRecord& record)
{
    std::string out;
    for (int i = 0; i < record.KRCount(); ++i) {
        const CKesVarBind* value = record.KRValueAt(i);
        const CKesAtom* atom = value->KVBValue();
        std::string word = std::string(value->KVBName()) + ":";
        switch (atom->KAType()) {
        case KES_DT_INT:
        case KES_DT_LONG:
        case KES_DT_INT64: word += "i=" + std::to_string(atom->KAInt64()); break;
        case KES_DT_STRING: word += "s=" + Hex(atom->KAString(), atom->KALength()); break;
        case KES_DT_DOUBLE: {
            const uint64_t bits = htobe64(std::bit_cast<uint64_t>(atom->KADouble()));
            word += "f=" + Hex(&bits, sizeof bits);
            break;
        }
        case KES_DT_BYTES: {
            size_t length = 0;
            const unsigned char* bytes = atom->KABytes(&length);
            word += "b=" + Hex(bytes, length);
            break;
        }
        default: word += "?="; break;
        }
        out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

// Adds one value of a typed word; false when it cannot be read.
inline bool AddTyped(CKesRecord* record, const char* name, char kind, const std::string& text)
{
    std::string bytes;
    if (kind == 'i') {
        const long long number = std::strtoll(text.c_str(), nullptr, 10);
        const bool small = number >= INT32_MIN && number <= INT32_MAX; // stays a 32-bit integer
        return record->KRAddValue(name, small ? CKesAtom(static_cast<int>(number)) : CKesAtom(number)) == 1;
    }
    if (!Unhex(text, &bytes)) return false;
    if (kind == 's') return record->KRAddValue(name, CKesAtom::KAText(bytes.data(), bytes.size())) == 1;
    if (kind == 'b') return record->KRAddValue(name, CKesAtom(bytes.data(), bytes.size())) == 1;
    if (kind != 'f' || bytes.size() != 8) return false;
    uint64_t bits = 0;
    std::memcpy(&bits, bytes.data(), sizeof bits);
    return record->KRAddValue(name, CKesAtom(std::bit_cast<double>(be64toh(bits)))) == 1;
}

// Fills an empty record from typed words; false on a word it cannot read.
inline bool FillTyped(const std::string& words, CKesRecord* record)
{
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        const size_t equals = word.find('='), colon = word.rfind(':', equals);
        if (colon == std::string::npos || equals != colon + 2) return false;
        if (!AddTyped(record, word.substr(0, colon).c_str(), word[colon + 1], word.substr(equals + 1)))
            return false;
    }
    return true;
}

} // namespace ksxhost
