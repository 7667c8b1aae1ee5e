/* The service file grammar: a file is one or more entries
 *
 *   SERVICE: name DOMAIN: domain ADDRESS: a.b.c.d PORT: n
 *       [SERVERNAME: name] [DYNAMIC: YES|NO]
 *
 * Each entry becomes one CKesSockEnd handed to the CKesServiceDataParser.
 * On the first token the grammar cannot accept, one "parse error" line goes
 * to standard output, the entry in progress is abandoned, the rest of the
 * text is discarded without further reports and the error rule empties the
 * parser's table; the parse still ends normally at the end of the text.
 *
 * No reduction is made without a lookahead that may follow it (no default
 * reductions, lookahead correction on): the error is seen on the offending
 * token itself, before the entry it interrupts is completed, so an abandoned
 * entry never reaches a record or a setter. */

%require "3.5"
%define api.prefix {KesServiceData}
%define api.pure full
%define parse.lac full
%define lr.default-reduction accepting
%lex-param {CKesServiceDataScanner* scanner}
%parse-param {CKesServiceDataScanner* scanner} {CKesServiceDataParser* parser}
%define api.value.type {union KesServiceDataValue}

%code top {
#include "CKesServiceDataScanner.h"

// The parse routine's token source. Defined here, ahead of the generated
// renaming of yylex, so that the scanner's own yylex keeps its name.
static int KesServiceDatalex(KesServiceDataValue* value, CKesServiceDataScanner* scanner)
{
    return scanner->yylex(value);
}
}

%code requires {
#include "CKesServiceDataScanner.h"
class CKesServiceDataParser;
}

%code {
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

#include "CKesError.h"
#include "KesErrorCodes.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesString.h"

namespace {

void KesServiceDataerror(CKesServiceDataScanner*, CKesServiceDataParser*, const char*)
{
    printf("KesServiceData parse error Line number: %d\n",
           KesServiceDataLineNo.load(std::memory_order_relaxed));
    fflush(stdout);
}

// Stores a text through one of the record's setters. A setter that refuses
// the text is reported with its result and the record is deleted (the text,
// not taken over, is released). No record or no text: the text is released.
typedef int (CKesSockEnd::*TextSetter)(char*);
CKesSockEnd* KesServiceDataSetText(CKesSockEnd* record, TextSetter setter, char* text, int reportLine)
{
    if (!record || !text) {
        free(text);
        return record;
    }
    int result = (record->*setter)(text);
    if (result == 1)
        return record;
    CKesError(result, "KesServiceData", reportLine, nullptr);
    free(text);
    delete record;
    return nullptr;
}

CKesSockEnd* KesServiceDataSetAddress(CKesSockEnd* record, char* address, int port)
{
    if (record && address) {
        int result = record->KSESetEndPointAddress(address, port);
        if (result != 1) {
            CKesError(result, "KesServiceData", 174, nullptr);
            delete record;
            record = nullptr;
        }
    }
    free(address);
    return record;
}

void KesServiceDataSetDynamic(CKesSockEnd* record, char* dynamic)
{
    if (record && dynamic) {
        if (strcasecmp(dynamic, "YES") == 0)
            record->KSESetDynamic(true);
        else if (strcasecmp(dynamic, "NO") == 0)
            record->KSESetDynamic(false);
        else
            CKesError(KES_ERR_SERVICE_ENTRY, "KesServiceData", 218, "Expected 'DYNAMIC: YES/NO' in ServiceData.cfg");
    }
    free(dynamic);
}

// Steps 1 to 6 of an entry: a new record with every clause set. Takes over
// every text; null when a setter dropped the record.
CKesSockEnd* KesServiceDataBuildRecord(char* service, char* domain, char* address, int port,
                                       char* serverName, char* dynamic)
{
    CKesSockEnd* record = new (std::nothrow) CKesSockEnd();
    record = KesServiceDataSetText(record, &CKesSockEnd::KSESetServiceName, service, 138);
    record = KesServiceDataSetText(record, &CKesSockEnd::KSESetEndPointDomain, domain, 156);
    record = KesServiceDataSetAddress(record, address, port);
    record = KesServiceDataSetText(record, &CKesSockEnd::KSESetEndPointName, serverName, 197);
    KesServiceDataSetDynamic(record, dynamic);
    return record;
}

// A record the parser refused: said on standard error, dumped, deleted.
void KesServiceDataDropRecord(CKesSockEnd* record)
{
    fputs("ERROR: Problems occured while trying to add the service data to the data list. \n", stderr);
    record->KSEDump();
    delete record;
    fflush(stdout);
}

// The domain written as a number, printed back as decimal text (007 is 7).
char* KesServiceDataNumberText(int number)
{
    CKesString text(number);
    return text.KSTakeString();
}

char* KesServiceDataAnyDomain()
{
    char* domain = strdup("ANY_OSTRAVINE_DOMAIN");
    if (!domain)
        CKesError(KES_ERR_ALLOCATION, "KesServiceData", 279, nullptr);
    return domain;
}

}  // namespace
}

%token __KES_SD_SERVICE __KES_SD_ADDRESS __KES_SD_PORT __KES_SD_DOMAIN
%token <number> __KES_SD_INTNUM
%token <text> __KES_SD_IP __KES_SD_STRING
%token __KES_SD_SERVERNAME __KES_DOMAIN_ANY __KES_SD_DYNAMIC

%type <text> domainStr optServerName optDynamic

%destructor { free($$); } <text>

%start entrydata

%%

entrydata
    : entryList
    | error                 { if (parser) parser->KSDPReset(); }
    ;

entryList
    : entry
    | entryList entry
    ;

entry
    : __KES_SD_SERVICE __KES_SD_STRING __KES_SD_DOMAIN domainStr
      __KES_SD_ADDRESS __KES_SD_IP __KES_SD_PORT __KES_SD_INTNUM
      optServerName optDynamic
        {
            CKesSockEnd* record = KesServiceDataBuildRecord($2, $4, $6, $8, $9, $10);
            if (record) {
                int result = parser ? parser->KSDPFileParsedRecord(record) : KES_ERR_ARGUMENT;
                if (result != 1)
                    KesServiceDataDropRecord(record);
            }
        }
    ;

optServerName
    : __KES_SD_SERVERNAME __KES_SD_STRING   { $$ = $2; }
    | %empty                                { $$ = nullptr; }
    ;

optDynamic
    : __KES_SD_DYNAMIC __KES_SD_STRING      { $$ = $2; }
    | %empty                                { $$ = nullptr; }
    ;

domainStr
    : __KES_SD_STRING       { $$ = $1; }
    | __KES_SD_INTNUM       { $$ = KesServiceDataNumberText($1); }
    | __KES_DOMAIN_ANY      { $$ = KesServiceDataAnyDomain(); }
    ;

%%
