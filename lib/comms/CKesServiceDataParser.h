// CKesServiceDataParser: the content of the service file as a table of
// CKesSockEnd records, one per entry, filed under "domain.service"; parses a
// text or the file, re-reads the file when it changes, answers lookups.
//
// Created and destroyed by its user: the engine and a client make one on the
// stack for a single lookup; a server keeps one for its lifetime. The table
// owns its records and deletes them on replacement, reset, purge and
// destruction; a lookup hands out the table's own record, which the caller
// copies if it needs it past the next change of the table.
//
// Threads: any thread. KSDPCheckFileTime, KSDPGetServiceData and
// KSDPAddRecordToDataList take m_DataLock (a plain, non-recursive mutex) and
// call nothing that takes it again: the parse routine run inside the file
// check files its records through the private KSDPFileParsedRecord, which
// takes no lock. KSDPParse, KSDPParseFromFile, KSDPPurge, KSDPReset and
// KSDPResults take no lock; callers that share a parser serialise them.
// Lock order: m_DataLock is innermost for callers (a server takes its server
// lock and the service file lock first); under it only the table's and the
// error report's own internal locks are taken.
#pragma once

#include <ctime>

#include "CKesMutex.h"
#include "KesErrorCodes.h"

class CKesSockEnd;
class CKesTreeList;
class CKesServiceDataScanner;
class CKesServiceDataParser;

// The parse routine generated from the service file grammar.
int KesServiceDataparse(CKesServiceDataScanner* scanner, CKesServiceDataParser* parser);

class CKesServiceDataParser {
public:
    // An empty table; no parse yet (m_LastParse 0).
    CKesServiceDataParser();
    // Purges the table (deleting every record).
    virtual ~CKesServiceDataParser();

    // Parses a NUL-terminated text in the service file syntax and adds its
    // entries to the table (earlier entries stay unless replaced by key; a
    // syntax error empties the table). 1 whatever the text held; KES_ERR_ARGUMENT
    // for a null text, which changes nothing.
    int KSDPParse(char* text);
    // Reads the whole file and parses it. 1 for any file that could be read;
    // KES_ERR_MISSING for a null path or a failed read, KES_ERR_SERVICE_FILE_READ when the file cannot
    // be accessed or opened.
    int KSDPParseFromFile(char const* path);
    // Under m_DataLock: when the file's modification second is later than the
    // last parse, empties the table and parses the file again. 1 when nothing
    // was needed or the re-read succeeded; KES_ERR_ARGUMENT for a null path; KES_ERR_SERVICE_FILE_READ
    // when the file cannot be stated (the table is then untouched).
    int KSDPCheckFileTime(char const* path);
    // Under m_DataLock: the table's record for domain and service (exact
    // match, domain first), or null. The record stays the table's.
    CKesSockEnd* KSDPGetServiceData(char const* domain, char const* service);
    // Under m_DataLock: files the record under its hash key, deleting a
    // record already filed there; the table owns the record from then on.
    // 1; KES_ERR_ARGUMENT for a null record, one without hash key, or no table (the
    // caller keeps the record then).
    int KSDPAddRecordToDataList(CKesSockEnd* record);
    // Deletes every record and the table itself (KSDPResults is null after).
    void KSDPPurge();
    // KSDPPurge, then a new empty table.
    void KSDPReset();
    // The table itself (null after KSDPPurge); the parser keeps it.
    CKesTreeList* KSDPResults();

private:
    CKesServiceDataParser(const CKesServiceDataParser&) = delete;
    CKesServiceDataParser& operator=(const CKesServiceDataParser&) = delete;

    // The parse routine hands its records over without the data lock: it
    // runs either inside KSDPCheckFileTime, which holds it, or in a direct
    // KSDPParse whose caller serialises access.
    friend int KesServiceDataparse(CKesServiceDataScanner* scanner, CKesServiceDataParser* parser);

    // KSDPAddRecordToDataList's work; the caller holds m_DataLock or owns
    // the parser alone.
    int KSDPFileParsedRecord(CKesSockEnd* record);
    // KSDPGetServiceData's work; the caller holds m_DataLock (checked in
    // debug and sanitizer builds).
    CKesSockEnd* FindRecord(char const* domain, char const* service);

    CKesMutex m_DataLock; // guards m_Data (and m_LastParse) in the locked operations
    time_t m_LastParse;   // wall-clock second at which the last parse finished; 0 before
    CKesTreeList* m_Data; // "domain.service" -> CKesSockEnd*, records owned; null after purge
};
