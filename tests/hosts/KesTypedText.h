// Records as one line of typed words, for the host programs that other
// languages' tests drive: "name:i=-5" (integer, decimal), "name:s=6869"
// (text, its bytes in hex), "name:f=3ff8000000000000" (64-bit float, its
// big-endian bits in hex), "name:b=00ff" (bytes in hex); words are separated
// by one blank, values keep the record's order. Hex keeps blanks, NUL bytes
// and non-UTF-8 texts exact.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "CKesRecord.h"

namespace ksxhost {

inline std::string Hex(const unsigned char* bytes, size_t length)
{
    std::string out;
    char two[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

inline bool Unhex(const std::string& hex, std::string* bytes)
{
    if (hex.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') return false;
        bytes->push_back(static_cast<char>(value));
    }
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
        size_t length = 0;
        switch (atom->KAType()) {
        case KES_DT_INT:
        case KES_DT_LONG:
        case KES_DT_INT64: word += "i=" + std::to_string(atom->KAInt64()); break;
        case KES_DT_STRING:
            word += "s=" + Hex(reinterpret_cast<const unsigned char*>(atom->KAString()), atom->KALength());
            break;
        case KES_DT_DOUBLE: {
            const double number = atom->KADouble();
            uint64_t bits = 0;
            std::memcpy(&bits, &number, sizeof bits);
            unsigned char big[8];
            for (int b = 0; b < 8; ++b) big[b] = static_cast<unsigned char>(bits >> (56 - 8 * b));
            word += "f=" + Hex(big, 8);
            break;
        }
        case KES_DT_BYTES: {
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

// Fills an empty record from typed words; false on a word it cannot read.
inline bool FillTyped(const std::string& words, CKesRecord* record)
{
    std::istringstream in(words);
    std::string word, bytes;
    while (in >> word) {
        const size_t colon = word.rfind(':', word.find('='));
        const size_t equals = word.find('=');
        if (colon == std::string::npos || equals != colon + 2) return false;
        const std::string name = word.substr(0, colon), text = word.substr(equals + 1);
        int added = 0;
        switch (word[colon + 1]) {
        case 'i': {
            const long long number = std::strtoll(text.c_str(), nullptr, 10);
            added = (number >= INT32_MIN && number <= INT32_MAX)
                        ? record->KRAddValue(name.c_str(), CKesAtom(static_cast<int>(number)))
                        : record->KRAddValue(name.c_str(), CKesAtom(number));
            break;
        }
        case 's':
            if (!Unhex(text, &bytes)) return false;
            added = record->KRAddValue(name.c_str(), CKesAtom::KAText(bytes.data(), bytes.size()));
            break;
        case 'f': {
            if (!Unhex(text, &bytes) || bytes.size() != 8) return false;
            uint64_t bits = 0;
            for (unsigned char c : bytes) bits = (bits << 8) | c;
            double number = 0;
            std::memcpy(&number, &bits, sizeof number);
            added = record->KRAddValue(name.c_str(), CKesAtom(number));
            break;
        }
        case 'b':
            if (!Unhex(text, &bytes)) return false;
            added = record->KRAddValue(name.c_str(), CKesAtom(bytes.data(), bytes.size()));
            break;
        default: return false;
        }
        if (added != 1) return false;
    }
    return true;
}

} // namespace ksxhost
