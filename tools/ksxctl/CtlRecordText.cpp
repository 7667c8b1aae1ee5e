#include "CtlRecordText.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "CKesRecord.h"

namespace {

std::mutex g_OutLock; // one block at a time on standard output

bool IsInteger(const std::string& text)
{
    size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    if (i == text.size()) return false;
    for (; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

std::string AddInteger(const std::string& name, const std::string& text, CKesRecord* record)
{
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE)
        return "value of " + name + " does not fit a 64-bit integer (write " + name + ":s=" + text +
               " to send it as text)";
    // The smallest atom that holds it: most peers read an int.
    const int added = (value >= INT_MIN && value <= INT_MAX)
                          ? record->KRAddValue(name.c_str(), CKesAtom(static_cast<int>(value)))
                          : record->KRAddValue(name.c_str(), CKesAtom(value));
    return added == 1 ? "" : "cannot add the value " + name;
}

std::string AddOne(const std::string& word, CKesRecord* record)
{
    const size_t equals = word.find('=');
    if (equals == std::string::npos) return "expected name=value, got '" + word + "'";
    std::string name = word.substr(0, equals);
    const std::string value = word.substr(equals + 1);
    char type = 0;
    if (name.size() > 2 && name[name.size() - 2] == ':') {
        type = name.back();
        name.resize(name.size() - 2);
    }
    if (name.empty()) return "a value has no name in '" + word + "'";
    if (type == 's')
        return record->KRAddValue(name.c_str(), value.c_str()) == 1 ? "" : "cannot add the value " + name;
    if (type == 'i' && !IsInteger(value)) return "value of " + name + " is no integer: '" + value + "'";
    if (type != 0 && type != 'i')
        return "unknown type :" + std::string(1, type) + " in '" + word + "' (use :s or :i)";
    if (IsInteger(value)) return AddInteger(name, value, record);
    return record->KRAddValue(name.c_str(), value.c_str()) == 1 ? "" : "cannot add the value " + name;
}

std::string Escaped(const char* text, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

} // namespace

std::string CtlFillRecord(const std::vector<std::string>& words, CKesRecord* record)
{
    for (const std::string& word : words) {
        std::string error = AddOne(word, record);
        if (!error.empty()) return error;
    }
    return "";
}

std::string CtlFormatRecord(const CKesRecord& record)
{
    std::string out;
    for (int i = 0; i < record.KRCount(); ++i) {
        const CKesVarBind* value = record.KRValueAt(i);
        if (!value) continue;
        const CKesAtom* atom = value->KVBValue();
        out += value->KVBName();
        out += " = ";
        if (atom->KAType() == KES_DT_STRING) {
            out += Escaped(atom->KAString(), atom->KALength());
        } else if (char* text = atom->KAStrRep()) {
            out += text;
            free(text);
        }
        out += "\n";
    }
    return out;
}

void CtlWriteOut(const std::string& block)
{
    std::lock_guard<std::mutex> hold(g_OutLock);
    std::fwrite(block.data(), 1, block.size(), stdout);
    std::fflush(stdout);
}
