// CKesObjSockServer: the server's side of the service file and discovery:
// finding a fixed entry, publishing the bound endpoint, withdrawing it,
// answering address requests and recording a service announced by an
// address reply. Every write happens with the file
// open and locked (CKesFileLock) and is closed again before returning.
#include "CKesObjSockServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "CKesAtom.h"
#include "CKesEnv.h"
#include "CKesError.h"
#include "CKesFileDescriptor.h"
#include "CKesObjMulticast.h"
#include "CKesRecord.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "CKesTreeList.h"
#include "KesCheck.h"
#include "KesErrorCodes.h"

namespace {

const char* const kSource = "CKesObjSockServer";
const int kReadWrite = 3;
const int kSeekEnd = 3;

// The value of the first occurrence of keyword in text that has one: the
// first run of non-whitespace after the keyword (whitespace skipped). The
// walk stops at "//" or "##", after which a line is comment. Null when not
// found; *length is the value's character count.
const char* KOSSFindKeywordValue(const char* text, const char* keyword, int* length)
{
    if (!text || !keyword) return nullptr;
    const size_t keywordLength = strlen(keyword);
    for (const char* at = text; *at; ++at) {
        if ((at[0] == '/' && at[1] == '/') || (at[0] == '#' && at[1] == '#')) return nullptr;
        if (strncmp(at, keyword, keywordLength) != 0) continue;
        const char* value = at + keywordLength;
        while (*value && isspace(static_cast<unsigned char>(*value))) ++value;
        const char* end = value;
        while (*end && !isspace(static_cast<unsigned char>(*end))) ++end;
        if (end > value) {
            *length = static_cast<int>(end - value);
            return value;
        }
    }
    return nullptr;
}

// Whether the value (not NUL-terminated) is exactly the text.
bool ValueEquals(const char* value, int length, const char* text)
{
    return value && text && strlen(text) == static_cast<size_t>(length) && strncmp(value, text, length) == 0;
}

// A socketless copy of an endpoint, for the parser's table: discarding the
// parser's records never closes a socket of ours.
CKesSockEnd* SocketlessCopy(const CKesSockEnd& source)
{
    auto* copy = new CKesSockEnd();
    if (source.KSEGetServiceName()) copy->KSESetServiceName(strdup(source.KSEGetServiceName()));
    if (source.KSEGetEndPointDomain()) copy->KSESetEndPointDomain(strdup(source.KSEGetEndPointDomain()));
    if (source.KSEGetEndPointAddress()) {
        auto* address = static_cast<sockaddr*>(malloc(KES_SOCKADDR_IN_LEN));
        if (address) {
            memcpy(address, source.KSEGetEndPointAddress(), KES_SOCKADDR_IN_LEN);
            copy->KSESetEndPointAddress(address);
        }
    }
    if (source.KSEGetEndPointName()) copy->KSESetEndPointName(strdup(source.KSEGetEndPointName()));
    copy->KSESetDynamic(source.KSEGetDynamic());
    return copy;
}

// The file grown to `length` bytes where it is shorter, its new bytes
// allocated (zeros, which end the file's text for every reader): 0, or the
// errno value of why not. A file system that cannot allocate ahead is
// written as it is.
int ReserveRoom(KesFileHandle handle, size_t length)
{
    struct stat status {};
    if (fstat(handle, &status) != 0) return errno;
    if (static_cast<unsigned long long>(status.st_size) >= length) return 0;
    int error;
    do {
        error = posix_fallocate(handle, status.st_size, static_cast<off_t>(length) - status.st_size);
    } while (error == EINTR);
    return error == EOPNOTSUPP || error == ENOSYS ? 0 : error;
}

// Reports a write to the service file that did not happen whole (-220452).
int ReportUnwritten(int line, int error)
{
    const std::string report =
        std::string("Unable to write our buffer to the ServiceData.cfg file.  Reason: ") + strerror(error);
    CKesError(KES_ERR_SERVICE_FILE_WRITE, kSource, line, report.c_str());
    return KES_ERR_SERVICE_FILE_WRITE;
}

// Whether a text can stand in the service file as one word: nothing in it
// (a blank, a line end, a control byte) splits the line or starts another.
bool IsOneWord(const char* text)
{
    if (!text || !*text) return false;
    for (const char* at = text; *at; ++at)
        if (static_cast<unsigned char>(*at) <= ' ' || *at == 0x7f) return false;
    return true;
}

// Whether the line reads back as the entry alone, at its address and port: a
// word the scanner takes for a keyword, a number, an address or a comment
// would lose the entry or make the whole file read as empty.
bool ReadsBackAs(const char* line, CKesSockEnd& entry)
{
    CKesServiceDataParser parser;
    std::string text(line);
    parser.KSDPParse(text.data());
    const CKesTreeList* table = parser.KSDPResults();
    const CKesSockEnd* read =
        parser.KSDPGetServiceData(entry.KSEGetEndPointDomain(), entry.KSEGetServiceName());
    return table && table->KTLLength() == 1 && read &&
           read->KSEGetEndPtIpAddressLong() == entry.KSEGetEndPtIpAddressLong() &&
           read->KSEGetEndPtAddressPort() == entry.KSEGetEndPtAddressPort();
}

} // namespace

int CKesObjSockServer::KOSSInitServerFile()
{
    free(m_ServiceFilePath);
    m_ServiceFilePath = strdup(CKesEnv::KEServiceFilePath().c_str());
    return 1;
}

// Opens the service file (it is never created here), asking for more file
// descriptors when the process has run out.
KesFileHandle CKesObjSockServer::KOSSOpenServerFile(int mode)
{
    if (!m_ServiceFilePath) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
        return KES_INVALID_FILE_HANDLE;
    }
    for (;;) {
        KesFileHandle handle = KesFileOpen(m_ServiceFilePath, mode);
        if (handle != KES_INVALID_FILE_HANDLE) return handle;
        const char* text = "Unable to access server data file";
        if (!CKesFileDescriptor::KFDIsUnavailable(errno)) {
            CKesError(KES_ERR_SERVICE_FILE_WRITE, kSource, __LINE__, text);
            return KES_INVALID_FILE_HANDLE;
        }
        if (CKesFileDescriptor::KFDMakeAvailable() != 0) {
            std::string full = std::string(text) + " due to a lack of file descriptors.";
            CKesError(KES_ERR_SERVICE_FILE_WRITE, kSource, __LINE__, full.c_str());
            return KES_INVALID_FILE_HANDLE;
        }
    }
}

// Waits for the file lock without limit, trying once a second.
int CKesObjSockServer::KOSSGetFileLock(CKesFileLock& lock)
{
    while (lock.KFLLock() != 1) {
        if (KesTraceOn(4)) KesTrace("CKesObjSockServer::KOSSGetFileLock().\n");
        KesSleep(1000);
    }
    return 1;
}

// Caller holds the server lock (start-up). Makes the server's parser from the
// file; a fixed (non-dynamic) entry for this service and domain becomes the
// server endpoint.
int CKesObjSockServer::KOSSParseServiceFile()
{
    KES_CHECK(m_ServerLock.IsHeldByMe(), "caller holds the server lock");
    if (KesTraceOn(4)) KesTrace("CKesObjSockServer::KOSSParseServiceFile()\n");
    m_ServiceDataParser = new CKesServiceDataParser();
    int result = m_ServiceDataParser->KSDPParseFromFile(m_ServiceFilePath);
    if (result != 1) {
        CKesError(result, kSource, __LINE__, nullptr);
        return result;
    }
    if (!m_Domain || !m_ServiceName) return 1;
    CKesSockEnd* entry = m_ServiceDataParser->KSDPGetServiceData(m_Domain, m_ServiceName);
    if (!entry || entry->KSEGetDynamic()) return 1;
    delete m_ServerData;
    m_ServerData = new CKesSockEnd(*entry);
    if (KesTraceOn(2)) {
        KesHeapText address(m_ServerData->KSEGetEndPtIpAddress());
        KesTrace(
            "CKesObjSockServer::KOSSParseServiceFile: Using fixed server: Domain: %s Address: %s Port: %u\n",
            m_Domain, address.get() ? address.get() : "", m_ServerData->KSEGetEndPtAddressPort());
    }
    return 1;
}

// Caller holds the server lock (start-up): builds the endpoint from the bound
// socket (the endpoint then holds the listening socket), publishes it in the
// service file and files a socketless copy in the parser.
int CKesObjSockServer::KOSSUpdateServerData()
{
    KES_CHECK(m_ServerLock.IsHeldByMe(), "caller holds the server lock");
    auto* address = static_cast<sockaddr*>(calloc(1, KES_SOCKADDR_IN_LEN));
    socklen_t addressLength = KES_SOCKADDR_IN_LEN;
    if (!address || getsockname(static_cast<int>(m_ListenSocket), address, &addressLength) != 0) {
        free(address);
        return KES_ERR_SOCKET_CREATE;
    }
    auto* hostName = static_cast<char*>(calloc(1, 255));
    if (!hostName || gethostname(hostName, 254) != 0) {
        free(address);
        free(hostName);
        return KES_ERR_NO_SERVER;
    }
    char* service = m_ServiceName ? strdup(m_ServiceName) : nullptr;
    char* domain = m_Domain ? strdup(m_Domain) : nullptr;
    if (!service || !domain) CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);

    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (KesTraceOn(3))
        KesTrace("CKesObjSockServer::KOSSUpdateServerData(): The address in_addr is %x and the port number "
                 "is %u\n",
                 ntohl(in->sin_addr.s_addr), static_cast<unsigned>(ntohs(in->sin_port)));

    delete m_ServerData;
    m_ServerData = new CKesSockEnd(service, address, domain, m_ListenSocket);
    if (m_ServerData->KSEGetEndPointSocket() == KES_INVALID_SOCKET) {
        // The endpoint took nothing over.
        delete m_ServerData;
        m_ServerData = nullptr;
        free(service);
        free(domain);
        free(address);
        free(hostName);
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return KES_ERR_ALLOCATION;
    }
    m_ServerData->KSESetEndPointName(hostName);

    int result = KOSSUpdateServerFile(TRUE);
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    if (m_ServiceDataParser) {
        int filed = m_ServiceDataParser->KSDPAddRecordToDataList(SocketlessCopy(*m_ServerData));
        if (filed != 1) CKesError(filed, kSource, __LINE__, nullptr);
    }
    return result;
}

// Rewrites the service file in place under the file lock. Adding replaces a
// dynamic line of this service and domain, or appends one; removing deletes
// the line with this server's address and port. Fixed lines are never
// touched, and nothing is written over a file that could not be read whole.
int CKesObjSockServer::KOSSUpdateServerFile(__boolean add)
{
    if (KesTraceOn(4)) KesTrace("gonna try for file lock\n");
    KesFileHandle handle = KOSSOpenServerFile(kReadWrite);
    if (handle == KES_INVALID_FILE_HANDLE) return KES_ERR_SERVICE_FILE_READ;
    auto lock = std::make_unique<CKesFileLock>(m_ServiceFilePath, handle);
    if (lock->KFLLock() != 1) CKesError(KES_ERR_FILE_LOCK, kSource, __LINE__, nullptr);
    if (KesTraceOn(4)) KesTrace("got file lock\n");

    // Releases the lock and the handle on every way out.
    auto finish = [&](int result) {
        int unlocked = lock->KFLUnlock();
        if (unlocked != 1) {
            CKesError(KES_ERR_FILE_LOCK, kSource, __LINE__, nullptr);
            if (result == 1) result = KES_ERR_FILE_LOCK;
        }
        KesFileClose(handle);
        return result;
    };
    if (!m_ServerData) return finish(KES_ERR_ARGUMENT);
    long long size = 0;
    if (KesGetOpenFileSize(handle, &size) != 0 || size < 0) return finish(KES_ERR_SERVICE_FILE_READ);

    std::string text(static_cast<size_t>(size), '\0');
    long long done = 0;
    while (done < size) {
        int count = KesFileRead(handle, text.data() + done, static_cast<size_t>(size - done));
        if (count <= 0) break;
        done += count;
    }
    if (done < size)
        return finish(KES_ERR_SERVICE_FILE_READ); // nothing is written over a file we could not read
    // The text ends at its first NUL byte; what follows is kept as it is.
    const std::string rest = text.substr(strnlen(text.c_str(), text.size()));
    text.resize(text.size() - rest.size());

    KesHeapText serviceLine(m_ServerData->KSEGetServiceLine());
    const size_t lineMax = std::max(text.size(), serviceLine.get() ? strlen(serviceLine.get()) : 0) + 1;
    std::unique_ptr<char[]> line(new char[lineMax]);
    std::unique_ptr<char[]> decided(new char[lineMax]);
    std::string output;
    output.reserve(text.size() + lineMax);
    bool found = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        memcpy(line.get(), text.data() + start, end - start);
        line[end - start] = '\0';
        decided[0] = '\0';
        if (KOSSProcessServiceLine(line.get(), decided.get(), add)) found = true;
        output += decided.get();
        start = end;
    }
    if (add && !found && serviceLine.get()) output += serviceLine.get();
    output += rest;

    int result = OverWrite(handle, output.data(), output.size());
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    return finish(result);
}

// Decides one line of a rewrite: out receives the line unchanged, this
// server's service line (adding) or nothing (removing). out must hold the
// longer of the line and the service line.
__boolean CKesObjSockServer::KOSSProcessServiceLine(char* line, char* out, __boolean add)
{
    const char* domain = m_ServerData->KSEGetEndPointDomain();
    KesHeapText address(m_ServerData->KSEGetEndPtIpAddress());
    const std::string port = std::to_string(m_ServerData->KSEGetEndPtAddressPort());

    bool match = false;
    int length = 0;
    const char* service = KOSSFindKeywordValue(line, "SERVICE:", &length);
    if (ValueEquals(service, length, m_ServiceName)) {
        const char* domainValue = KOSSFindKeywordValue(service, "DOMAIN:", &length);
        if (ValueEquals(domainValue, length, domain)) {
            if (add) {
                match = true;
            } else {
                const char* addressValue = KOSSFindKeywordValue(domainValue, "ADDRESS:", &length);
                if (ValueEquals(addressValue, length, address.get())) {
                    const char* portValue = KOSSFindKeywordValue(addressValue, "PORT:", &length);
                    match = ValueEquals(portValue, length, port.c_str());
                }
            }
        }
    }
    if (match) {
        const char* dynamic = KOSSFindKeywordValue(line, "DYNAMIC:", &length);
        if (ValueEquals(dynamic, length, "NO")) match = false;
    }
    if (!match) {
        strcpy(out, line);
        return FALSE;
    }
    out[0] = '\0';
    if (add) {
        KesHeapText serviceLine(m_ServerData->KSEGetServiceLine());
        if (serviceLine.get()) strcpy(out, serviceLine.get());
    }
    return TRUE;
}

// Writes the text from the start of the file and cuts the file to it.
int CKesObjSockServer::KOSSOverWriteServerFile(KesFileHandle handle, char const* text)
{
    return text ? OverWrite(handle, text, strlen(text)) : KES_ERR_ARGUMENT;
}

// The text written from the start of the file, and the file cut to it.
int CKesObjSockServer::OverWrite(KesFileHandle handle, char const* text, size_t length)
{
    // Room for the whole text first: a full disk or a file size limit then
    // fails before a byte is written, rather than leaving a torn line that
    // would empty every reader's table.
    const int reserved = ReserveRoom(handle, length);
    if (reserved != 0) return ReportUnwritten(__LINE__, reserved);
    long written = KesFilePWrite(handle, text, length, 0);
    if (written < 0 || static_cast<size_t>(written) < length) return ReportUnwritten(__LINE__, errno);
    if (KesFileTruncate(handle, static_cast<long long>(length)) != 0) {
        std::string report =
            std::string("Truncation of ServiceData.cfg to the correct size failed.  Reason: ") +
            strerror(errno);
        CKesError(KES_ERR_SERVICE_FILE_WRITE, kSource, __LINE__, report.c_str());
        return KES_ERR_SERVICE_FILE_WRITE;
    }
    return 1;
}

// Only a dynamic server has a line of its own to remove.
int CKesObjSockServer::KOSSRemoveServiceEntry()
{
    if (m_ServerData && m_ServerData->KSEGetDynamic()) return KOSSUpdateServerFile(FALSE);
    return 1;
}

// Brings the parser's table up to date with the file (re-read when changed).
int CKesObjSockServer::KOSSCheckServerData()
{
    if (!m_ServiceDataParser || !m_ServiceFilePath) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, nullptr);
        return KES_ERR_ARGUMENT;
    }
    int result = m_ServiceDataParser->KSDPCheckFileTime(m_ServiceFilePath);
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

// Appends the entry an address reply announces and files it in the parser.
int CKesObjSockServer::KOSSAddRecordToServerDataFile(CKesRecord* reply, KesFileHandle handle)
{
    if (!reply) return KES_ERR_ARGUMENT;
    CKesAtom* serviceValue = reply->KRValueOf(CKesSockEnd::ms_ServiceNameField);
    CKesAtom* domainValue = reply->KRValueOf(CKesSockEnd::ms_DomainNameField);
    CKesAtom* addressValue = reply->KRValueOf(CKesSockEnd::ms_AddressField);
    CKesAtom* portValue = reply->KRValueOf(CKesSockEnd::ms_PortField);
    if (!serviceValue || !domainValue || !addressValue || !portValue) return KES_ERR_ADDRESS_REPLY;
    const char* address = addressValue->KAString();
    const long long port = portValue->KAInt64();
    in_addr dotted{};
    // Anyone on the link may send a reply: what it names goes into the file
    // only as a word of one entry, never as text that adds or breaks lines.
    if (!IsOneWord(serviceValue->KAString()) || !IsOneWord(domainValue->KAString()) || !address ||
        inet_pton(AF_INET, address, &dotted) != 1 || port < 1 || port > 65535)
        return KES_ERR_ADDRESS_REPLY;

    std::unique_ptr<CKesSockEnd> entry(new CKesSockEnd());
    int result = entry->KSESetServiceName(strdup(serviceValue->KAString()));
    if (result == 1) result = entry->KSESetEndPointDomain(strdup(domainValue->KAString()));
    if (result == 1) result = entry->KSESetEndPointAddress(address, static_cast<int>(port));
    if (result != 1) return result;

    KesHeapText line(entry->KSEGetServiceLine());
    if (!line.get()) return KES_ERR_ARGUMENT;
    if (!ReadsBackAs(line.get(), *entry)) return KES_ERR_ADDRESS_REPLY;
    result = KOSSAddLineToServiceFile(line.get(), handle);
    if (result != 1) {
        CKesError(result, kSource, __LINE__, nullptr);
        return result;
    }
    // The parser learns the entry at once, so that a second reply within the
    // file time's resolution does not append it again.
    if (m_ServiceDataParser) {
        int filed = m_ServiceDataParser->KSDPAddRecordToDataList(entry.release());
        if (filed != 1) CKesError(filed, kSource, __LINE__, nullptr);
    }
    return result;
}

// Appends "\n", the line and "\n" at the end of the file. Room for all of
// it is allocated first, and a write that still stops short is cut off
// again: a torn line would empty every reader's table.
int CKesObjSockServer::KOSSAddLineToServiceFile(char* line, KesFileHandle handle)
{
    if (!line || handle == KES_INVALID_FILE_HANDLE) return KES_ERR_ARGUMENT;
    const long long end = KesFileSeek(handle, 0, kSeekEnd);
    const size_t size = strlen(line) + 3;
    auto* buffer = static_cast<char*>(malloc(size));
    if (!buffer) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, nullptr);
        return KES_ERR_ALLOCATION;
    }
    snprintf(buffer, size, "\n%s\n", line);
    const size_t length = strlen(buffer);
    int error = end < 0 ? errno : ReserveRoom(handle, static_cast<size_t>(end) + length);
    if (error == 0) {
        const int written = KesFileWrite(handle, buffer, length);
        if (written < 0)
            error = errno;
        else if (static_cast<size_t>(written) < length)
            error = ENOSPC;
    }
    free(buffer);
    if (error != 0) {
        if (end >= 0) KesFileTruncate(handle, end); // the file as it was, reserved zeros and all
        return ReportUnwritten(__LINE__, error);
    }
    return 1;
}

// Under the file lock (waited for without limit): files the service an
// address reply announces when the file lacks it.
int CKesObjSockServer::KOSSProcessAddressReply(CKesRecord* reply)
{
    if (KesTraceOn(4)) KesTrace("gonna try for file lock with returning packet\n");
    KesFileHandle handle = KOSSOpenServerFile(kReadWrite);
    if (handle == KES_INVALID_FILE_HANDLE) return KES_ERR_SERVICE_FILE_READ;
    auto lock = std::make_unique<CKesFileLock>(m_ServiceFilePath, handle);
    if (!reply) {
        KesFileClose(handle);
        return KES_ERR_ARGUMENT;
    }
    KOSSGetFileLock(*lock);
    int result = KOSSCheckServerData();
    if (result == 1) {
        CKesAtom* service = reply->KRValueOf(CKesSockEnd::ms_ServiceNameField);
        CKesAtom* domain = reply->KRValueOf(CKesSockEnd::ms_DomainNameField);
        if (!service || !domain || !service->KAString() || !domain->KAString())
            result = KES_ERR_ADDRESS_REPLY;
        else if (!m_ServiceDataParser)
            result = KES_ERR_ARGUMENT;
        else if (!m_ServiceDataParser->KSDPGetServiceData(domain->KAString(), service->KAString()))
            result = KOSSAddRecordToServerDataFile(reply, handle);
    }
    if (lock->KFLUnlock() != 1) CKesError(KES_ERR_FILE_LOCK, kSource, __LINE__, nullptr);
    KesFileClose(handle);
    return result;
}

// ---- discovery ------------------------------------------------------------------------------

// Answers a request for this server's service and domain with its address
// reply on the multicast channel; a request for another one is ignored (1),
// and so is one that comes while the server starts: the engine hands
// requests over from KSEAddServer on, while KOSSInitialise still builds the
// endpoint. Start-up ends with the accepting state, entered under the
// server lock after start-up has released it (and termination follows it),
// so reading the state orders the endpoint's reads after its writes.
int CKesObjSockServer::KOSSProcessAddressRequest(CKesRecord* request)
{
    if (!request) return KES_ERR_ARGUMENT;
    CKesAtom* service = request->KRValueOf(CKesSockEnd::ms_ServiceNameField);
    CKesAtom* domain = request->KRValueOf(CKesSockEnd::ms_DomainNameField);
    if (!service || !domain || !service->KAString() || !domain->KAString()) return KES_ERR_ARGUMENT;
    if (!m_ServiceName || !m_Domain) return 1;
    if (strcmp(service->KAString(), m_ServiceName) != 0 || strcmp(domain->KAString(), m_Domain) != 0)
        return 1;
    if (m_ConnectState.load() == KES_UNCONNECTED || !m_ServerData) return 1; // nothing to announce yet
    CKesRecord* reply = m_ServerData->KSEGetAddressReplyPacket();
    if (!reply) return KES_ERR_ARGUMENT;
    int result = SignReply(*reply, *request); // a member's reply proves the key
    if (result == 1) result = m_Multicast ? m_Multicast->KOMSendPacket(reply) : KES_ERR_ARGUMENT;
    delete reply;
    return result;
}
