// Records as the operator writes and reads them: "name=value" words into a
// record, and a record into "name = value" lines. Free functions, callable
// from any thread; CtlWriteOut serialises whole blocks on standard output
// under its own mutex (innermost, nothing else is taken while it is held).
#pragma once

#include <string>
#include <vector>

class CKesRecord;

// Adds one value per word to record. A value of digits with an optional
// sign is an integer; anything else is text; "name:s=..." forces text and
// "name:i=..." insists on an integer. "" on success, else the error line.
std::string CtlFillRecord(const std::vector<std::string>& words, CKesRecord* record);
// One "name = value" line per value; control bytes in texts are written as
// escapes (\n, \t, \xHH) so that each value stays on its line.
std::string CtlFormatRecord(const CKesRecord& record);
// Writes the block on standard output in one piece and flushes.
void CtlWriteOut(const std::string& block);
