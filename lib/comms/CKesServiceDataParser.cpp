#include "CKesServiceDataParser.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "CKesAutoMutex.h"
#include "CKesDoubleList.h"
#include "CKesError.h"
#include "CKesPointer.h"
#include "CKesReadOnlyFile.h"
#include "CKesServiceDataScanner.h"
#include "CKesSockEnd.h"
#include "CKesTreeList.h"
#include "KesCheck.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

CKesServiceDataParser::CKesServiceDataParser() : m_LastParse(0), m_Data(new CKesTreeList(FALSE)) {}

CKesServiceDataParser::~CKesServiceDataParser()
{
    if (m_Data) KSDPPurge();
}

int CKesServiceDataParser::KSDPParse(char* text)
{
    if (!text) {
        CKesError(KES_ERR_ARGUMENT, "CKesServiceDataParser", __LINE__, "No text to parse.");
        return KES_ERR_ARGUMENT;
    }
    {
        CKesServiceDataScanner scanner(text, static_cast<int>(strlen(text)));
        KesServiceDataLineNo.store(1, std::memory_order_relaxed);
        KesServiceDataparse(&scanner, this);
    }
    m_LastParse = time(nullptr);
    return 1;
}

int CKesServiceDataParser::KSDPParseFromFile(char const* path)
{
    if (!path) return KES_ERR_MISSING;
    CKesReadOnlyFile file(path, true);
    if (file.KOFCheckAccess() == -1 || file.KOFOpenLoop(1, 10) != 0) return KES_ERR_SERVICE_FILE_READ;
    char* text = file.KOFReadAll();
    if (!text) return KES_ERR_MISSING;
    int result = KSDPParse(text);
    free(text);
    return result;
}

int CKesServiceDataParser::KSDPCheckFileTime(char const* path)
{
    if (KesTraceOn(4)) KesTrace("CKesServiceDataParser::Locking the data lock.\n");
    int result = 1;
    {
        CKesAutoMutex hold(m_DataLock);
        struct stat status;
        if (!path) {
            result = KES_ERR_ARGUMENT;
            CKesError(result, "CKesServiceDataParser", 289, nullptr);
        } else if (stat(path, &status) != 0) {
            result = KES_ERR_SERVICE_FILE_READ;
        } else if (static_cast<unsigned long long>(status.st_mtime) >
                   static_cast<unsigned long long>(m_LastParse)) {
            KSDPReset();
            result = KSDPParseFromFile(path);
        }
    }
    if (KesTraceOn(4)) KesTrace("CKesServiceDataParser::Unlocking the data lock.\n");
    return result;
}

CKesSockEnd* CKesServiceDataParser::KSDPGetServiceData(char const* domain, char const* service)
{
    if (KesTraceOn(4)) KesTrace("CKesServiceDataParser::GetData Locking the data lock.\n");
    CKesSockEnd* record = nullptr;
    {
        CKesAutoMutex hold(m_DataLock);
        record = FindRecord(domain, service);
    }
    if (KesTraceOn(4)) KesTrace("CKesServiceDataParser::GetDataUnlocking the data lock.\n");
    return record;
}

CKesSockEnd* CKesServiceDataParser::FindRecord(char const* domain, char const* service)
{
    KES_CHECK(m_DataLock.IsHeldByMe(), "caller holds the data lock");
    if (!domain || !service || !m_Data) return nullptr;
    size_t domainLength = strlen(domain);
    size_t serviceLength = strlen(service);
    std::unique_ptr<char, decltype(&free)> key(
        static_cast<char*>(calloc(domainLength + serviceLength + 2, 1)), &free);
    if (!key) {
        CKesError(KES_ERR_ALLOCATION, "CKesServiceDataParser", 253, nullptr);
        return nullptr;
    }
    memcpy(key.get(), domain, domainLength);
    key.get()[domainLength] = '.';
    memcpy(key.get() + domainLength + 1, service, serviceLength);
    CKesPointer* holder = m_Data->KTLGet(key.get());
    return holder ? static_cast<CKesSockEnd*>(holder->KPData()) : nullptr;
}

int CKesServiceDataParser::KSDPAddRecordToDataList(CKesSockEnd* record)
{
    CKesAutoMutex hold(m_DataLock);
    return KSDPFileParsedRecord(record);
}

int CKesServiceDataParser::KSDPFileParsedRecord(CKesSockEnd* record)
{
    if (!record || !m_Data) return KES_ERR_ARGUMENT;
    const char* key = record->KSEGetHashKey();
    if (!key) return KES_ERR_ARGUMENT;
    CKesPointer* holder = m_Data->KTLGet(key);
    if (holder) {
        auto* filed = static_cast<CKesSockEnd*>(holder->KPData());
        // Filing the record that is already there must not delete it.
        if (filed == record) return 1;
        delete filed;
        m_Data->KTLDelete(key);
    }
    return m_Data->KTLAdd(key, static_cast<void*>(record));
}

void CKesServiceDataParser::KSDPPurge()
{
    if (!m_Data) return;
    CKesDoubleList* entries = m_Data->KTLIterator();
    if (!entries) {
        CKesError(KES_ERR_ARGUMENT, "CKesServiceDataParser", 190, nullptr);
    } else {
        for (CKesListable* item = entries->KDLHead(); item; item = entries->KDLGetNext(item))
            delete static_cast<CKesSockEnd*>(static_cast<CKesPointer*>(item)->KPData());
    }
    delete m_Data;
    m_Data = nullptr;
}

void CKesServiceDataParser::KSDPReset()
{
    KSDPPurge();
    m_Data = new CKesTreeList(FALSE);
}

CKesTreeList* CKesServiceDataParser::KSDPResults() { return m_Data; }
