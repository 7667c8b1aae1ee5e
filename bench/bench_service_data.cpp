// Parses generated service files of 10,000 and 100,000 entries and prints the
// entries per second of each and the ratio of their per-entry costs: a parse
// whose cost grows linearly with the file keeps the ratio near 1.
#include <chrono>
#include <cstdio>
#include <string>

#include "CKesServiceDataParser.h"
#include "CKesTreeList.h"

namespace {

// Entries of every form: fixed and dynamic, with and without server name,
// numeric and any-domain domains, comments between them.
std::string MakeFile(int entries)
{
    std::string text;
    text.reserve(static_cast<size_t>(entries) * 110);
    for (int i = 0; i < entries; ++i) {
        std::string n = std::to_string(i);
        std::string address = "10." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) +
                              "." + std::to_string(i % 256);
        switch (i % 4) {
        case 0: text += "SERVICE: svc" + n + " DOMAIN: dom ADDRESS: " + address + " PORT: 7000\r\n"; break;
        case 1:
            text += "service: svc" + n + " domain: 42 address: " + address + " port: 7001 servername: host" +
                    n + " dynamic: no\n";
            break;
        case 2:
            text += "## entry " + n + "\nSERVICE: svc" + n + " DOMAIN: ANY_KES_DOMAIN ADDRESS: " + address +
                    " PORT: 7002 DYNAMIC: YES\n";
            break;
        default:
            text +=
                "SERVICE: svc" + n + "\tDOMAIN: d" + n + "\nADDRESS: " + address + " PORT: 7003 -- note\n";
        }
    }
    return text;
}

// Seconds per entry of one parse of text, or a negative value when the parse
// did not file every entry.
double SecondsPerEntry(std::string& text, int entries)
{
    CKesServiceDataParser parser;
    auto start = std::chrono::steady_clock::now();
    parser.KSDPParse(text.data());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (parser.KSDPResults()->KTLLength() != entries) {
        std::fprintf(stderr, "parsed %d entries of %d\n", parser.KSDPResults()->KTLLength(), entries);
        return -1;
    }
    return seconds / entries;
}

} // namespace

int main()
{
    const int smallSize = 10000, largeSize = 100000;
    std::string smallText = MakeFile(smallSize), largeText = MakeFile(largeSize);
    // Alternate the sizes and keep the best of each, so that load from other
    // processes on the machine falls on both alike.
    double small = 1e30, large = 1e30;
    for (int round = 0; round < 5; ++round) {
        double s = SecondsPerEntry(smallText, smallSize), l = SecondsPerEntry(largeText, largeSize);
        if (s < 0 || l < 0) return 1;
        small = s < small ? s : small;
        large = l < large ? l : large;
    }
    std::printf("%d entries: %.0f entries/s\n", smallSize, 1.0 / small);
    std::printf("%d entries: %.0f entries/s\n", largeSize, 1.0 / large);
    std::printf("per-entry cost ratio %d/%d: %.2f (linear growth keeps it near 1)\n", largeSize, smallSize,
                large / small);
    return 0;
}
