// Reports a remote peer can trigger, limited per source line: a peer that
// sends garbage as fast as it can must not turn every packet into a line on
// the error stream of every process that hears it.
#include "KesPort.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "CKesError.h"
#include "KesCheck.h"

namespace {

// Source lines that can be limited at once. The libraries have a few dozen
// lines a peer can reach; a table this size never fills in practice, and
// when it does the least recently used line gives its slot up (its count is
// written first).
constexpr int kSlots = 64;
constexpr size_t kSourceChars = 48; // longer source names are compared by this prefix
constexpr size_t kTextChars = 160;  // the held-back text kept for the summing-up line

// The window of one source line.
struct LineWindow {
    char source[kSourceChars]; // "" while the slot is free
    int line;
    int64_t windowStart; // monotonic nanoseconds
    int64_t lastUse;
    int written;               // reports written in this window
    unsigned long heldBack;    // reports held back in this window
    int code;                  // of the last report held back
    char lastText[kTextChars]; // of the last report held back
};

struct LimitTable {
    std::mutex lock;
    LineWindow slots[kSlots]{};
    int64_t nextDue = INT64_MAX; // the earliest end of a window that holds reports back
    bool exitFlushArmed = false;
};

// Never destroyed: reports may still come from other threads, or from the
// exit flush, while static objects are being destroyed.
LimitTable& Table()
{
    static LimitTable* table = new LimitTable;
    return *table;
}

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t WindowNs() { return static_cast<int64_t>(KES_LIMITED_REPORT_WINDOW_MS * 1e6 * KesTimeScale()); }

bool SameLine(const LineWindow& slot, const char* source, int line)
{
    return slot.line == line && std::strncmp(slot.source, source, kSourceChars - 1) == 0;
}

size_t SlotIndex(const char* source, int line)
{
    uint32_t hash = 2166136261u; // FNV-1a
    for (size_t i = 0; i < kSourceChars - 1 && source[i]; ++i)
        hash = (hash ^ static_cast<unsigned char>(source[i])) * 16777619u;
    hash = (hash ^ static_cast<uint32_t>(line)) * 16777619u;
    return hash % kSlots;
}

// Writes the summing-up line of a window that held reports back.
void WriteHeldBack(LineWindow& slot)
{
    if (slot.heldBack == 0) return;
    char text[64 + kTextChars];
    std::snprintf(text, sizeof text, "%lu similar reports suppressed; the last: %s", slot.heldBack,
                  slot.lastText);
    slot.heldBack = 0;
    CKesError(slot.code, slot.source, slot.line, text);
}

// Writes the summing-up lines of the windows that have ended.
void WriteEnded(LimitTable& table, int64_t now)
{
    if (now < table.nextDue) return;
    const int64_t window = WindowNs();
    table.nextDue = INT64_MAX;
    for (LineWindow& slot : table.slots) {
        if (slot.heldBack == 0) continue;
        if (now - slot.windowStart >= window)
            WriteHeldBack(slot);
        else
            table.nextDue = std::min(table.nextDue, slot.windowStart + window);
    }
}

void Claim(LineWindow& slot, const char* source, int line, int64_t now)
{
    std::snprintf(slot.source, sizeof slot.source, "%s", source);
    slot.line = line;
    slot.windowStart = now;
    slot.written = 0;
    slot.heldBack = 0;
}

// The slot of this source line, claimed when it has none.
LineWindow& Find(LimitTable& table, const char* source, int line, int64_t now)
{
    const size_t start = SlotIndex(source, line);
    LineWindow* oldest = nullptr;
    for (size_t probe = 0; probe < kSlots; ++probe) {
        LineWindow& slot = table.slots[(start + probe) % kSlots];
        if (!slot.source[0]) {
            Claim(slot, source, line, now);
            return slot;
        }
        if (SameLine(slot, source, line)) return slot;
        if (!oldest || slot.lastUse < oldest->lastUse) oldest = &slot;
    }
    WriteHeldBack(*oldest);
    Claim(*oldest, source, line, now);
    return *oldest;
}

void WriteAllHeldBack(LimitTable& table)
{
    for (LineWindow& slot : table.slots) WriteHeldBack(slot);
    table.nextDue = INT64_MAX;
}

// At exit nothing held back stays unsaid. A thread that still holds the lock
// is left alone rather than waited for.
void FlushAtExit()
{
    LimitTable& table = Table();
    std::unique_lock<std::mutex> hold(table.lock, std::try_to_lock);
    if (hold.owns_lock()) WriteAllHeldBack(table);
}

} // namespace

bool KesReportLimited(int code, const char* source, int line, const char* text)
{
    KES_CHECK(text && *text, "a report a peer can trigger says what it is about");
    if (!source) source = "?";
    if (!text) text = "";
    const int64_t now = NowNs();
    LimitTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    WriteEnded(table, now);
    LineWindow& slot = Find(table, source, line, now);
    slot.lastUse = now;
    if (now - slot.windowStart >= WindowNs()) {
        WriteHeldBack(slot);
        slot.windowStart = now;
        slot.written = 0;
    }
    if (slot.written < KES_LIMITED_REPORTS) {
        ++slot.written;
        CKesError(code, source, line, text);
        return true;
    }
    if (slot.heldBack++ == 0) {
        table.nextDue = std::min(table.nextDue, slot.windowStart + WindowNs());
        if (!table.exitFlushArmed) table.exitFlushArmed = std::atexit(FlushAtExit) == 0;
    }
    slot.code = code;
    std::snprintf(slot.lastText, sizeof slot.lastText, "%s", text);
    return false;
}

void KesFlushLimitedReports()
{
    LimitTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    WriteAllHeldBack(table);
}
