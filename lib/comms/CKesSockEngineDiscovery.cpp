// CKesSockEngine's side of multicast discovery: opening the multicast
// channel from the service file's entry at construction, and dispatching the
// records that arrive on it (requests to servers, replies to clients).
#include "CKesSockEngine.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <string>

#include "CKesAtom.h"
#include "CKesAutoMutex.h"
#include "CKesEnv.h"
#include "CKesError.h"
#include "CKesIOWorkPacket.h"
#include "CKesInstallationKey.h"
#include "CKesObjMulticast.h"
#include "CKesObjSockClient.h"
#include "CKesObjSockServer.h"
#include "CKesRecord.h"
#include "CKesServiceDataParser.h"
#include "CKesSockEnd.h"
#include "KesEngineTables.h"
#include "KesErrorCodes.h"

using kesengine::kSource;

namespace {

constexpr const char* kMulticastService = "MulticastService";
constexpr const char* kAnyDomain = "ANY_OSTRAVINE_DOMAIN";

// The service a discovery record names, or null when it names none.
const char* NamedService(const CKesRecord* record)
{
    if (record == nullptr) return nullptr;
    const CKesAtom* name = record->KRValueOf(CKesSockEnd::ms_ServiceNameField);
    if (name == nullptr || name->KAType() != KES_DT_STRING) return nullptr;
    return name->KAString();
}

// "a.b.c.d:port" or "[v6]:port" of the datagram's sender; "an unknown
// sender" when the packet holds no address of either family.
void SenderText(const CKesIOWorkPacket& packet, char* out, size_t size)
{
    const sockaddr* source = packet.KIWPGetSource();
    const unsigned int length = packet.KIWPGetSourceLen();
    char address[INET6_ADDRSTRLEN] = "";
    if (source != nullptr && source->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* inet = reinterpret_cast<const sockaddr_in*>(source);
        if (inet_ntop(AF_INET, &inet->sin_addr, address, sizeof address) != nullptr) {
            snprintf(out, size, "%s:%u", address, ntohs(inet->sin_port));
            return;
        }
    }
    if (source != nullptr && source->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* inet6 = reinterpret_cast<const sockaddr_in6*>(source);
        if (inet_ntop(AF_INET6, &inet6->sin6_addr, address, sizeof address) != nullptr) {
            snprintf(out, size, "[%s]:%u", address, ntohs(inet6->sin6_port));
            return;
        }
    }
    snprintf(out, size, "an unknown sender");
}

// What a dispatched record that was not processed was.
const char* KindOf(const CKesRecord& record)
{
    if (record.KRValueOf(CKesSockEnd::ms_AddressReply) != nullptr) return "Address reply not processed";
    if (record.KRValueOf(CKesSockEnd::ms_AddressRequest) != nullptr) return "Address request not processed";
    return "Multicast record not processed";
}

} // namespace

bool CKesSockEngine::IsMulticastPacket(const CKesIOWorkPacket& packet)
{
    return m_Multicast != nullptr && packet.KIWPGetSocket() == m_Multicast->KOMGetReceiveSocket();
}

void CKesSockEngine::ReportDatagram(int code, int line, const CKesIOWorkPacket& packet, const char* what)
{
    char sender[INET6_ADDRSTRLEN + 16];
    SenderText(packet, sender, sizeof sender);
    char text[256];
    if (code == KES_ERR_DECODE) {
        const char* why = CKesRecord::KOMDecodeRefusal();
        snprintf(text, sizeof text, "Record cannot be decoded: %s (datagram from %s)",
                 why != nullptr ? why : "no reason given", sender);
    } else {
        snprintf(text, sizeof text, "%s (datagram from %s)", what, sender);
    }
    KesReportLimited(code, kSource, line, text);
}

int CKesSockEngine::KSEStartMulticast()
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEStartMulticast().\n");
    const std::string path = CKesEnv::KEServiceFilePath();
    if (KesTraceOn(4))
        KesTrace("CKesSockEngine::KSEStartMulticast() - going to parse the ServiceData.cfg file\n");

    CKesServiceDataParser parser;
    int parsed = parser.KSDPParseFromFile(path.c_str());
    if (parsed != 1) CKesError(parsed, kSource, __LINE__, nullptr);

    CKesSockEnd* entry = parser.KSDPGetServiceData(kAnyDomain, kMulticastService);
    if (entry == nullptr) {
        fprintf(stderr, "Server for service %s is not available...\n", kMulticastService);
        CKesError(KES_ERR_SERVICE_ENTRY, kSource, __LINE__, nullptr);
        return KES_ERR_SERVICE_ENTRY;
    }
    int result = KSEStartMulticastServer(entry);
    if (result != 1) return result;
    result = KSEAddMulticastIO();
    if (result != 1) CKesError(result, kSource, __LINE__, nullptr);
    return result;
}

int CKesSockEngine::KSEStartMulticastServer(CKesSockEnd* end)
{
    if (KesTraceOn(3)) {
        KesTrace("CKesSockEngine::KSEStartMulticastServer().");
        if (end != nullptr) end->KSEDump();
    }
    if (end == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No multicast service entry given");
        return KES_ERR_ARGUMENT;
    }
    // A channel left by a failed attempt is closed before a new one is made.
    DestroyMulticast();
    m_Multicast = new CKesObjMulticast(end);
    m_Multicast->KOMSetLoopback(TRUE);
    // An interface that has gone since it was chosen is reported by the
    // channel, which then keeps the default.
    if (!m_MulticastInterface.empty()) m_Multicast->KOMSetInterface(m_MulticastInterface.c_str());
    return m_Multicast->KOMInitialise();
}

std::string CKesSockEngine::MulticastInterfaceFromEnvironment()
{
    const std::string chosen = CKesEnv::KEMulticastInterface();
    unsigned int index = 0;
    uint32_t address = 0;
    if (chosen.empty() || CKesEnv::KEFindInterface(chosen.c_str(), &index, &address)) return chosen;
    // The engine still starts: discovery on the default interface loses
    // less than no discovery at all.
    const std::string text = "KSX_MULTICAST_IF \"" + chosen +
                             "\" is neither a network interface of this host nor one of its IPv4 "
                             "addresses; discovery uses the default interface (the route for 224.0.0.0/4)";
    CKesError(KES_ERR_MULTICAST_INTERFACE, kSource, __LINE__, text.c_str());
    return std::string();
}

int CKesSockEngine::KSESetMulticastInterface(const char* nameOrAddress)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSESetMulticastInterface().\n");
    const std::string chosen = nameOrAddress != nullptr ? nameOrAddress : "";
    int result = 1;
    if (m_Multicast != nullptr) {
        result = m_Multicast->KOMSetInterface(chosen.c_str());
    } else if (!chosen.empty()) {
        // No channel yet: only checked here, applied when one is opened.
        CKesObjMulticast probe;
        result = probe.KOMSetInterface(chosen.c_str());
    }
    if (result == 1) m_MulticastInterface = chosen;
    return result;
}

int CKesSockEngine::KSEAddMulticastIO()
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEAddMulticastIO().\n");
    if (m_Multicast == nullptr) {
        CKesError(KES_ERR_ARGUMENT, kSource, __LINE__, "No multicast channel");
        return KES_ERR_ARGUMENT;
    }
    unsigned int socket = m_Multicast->KOMGetReceiveSocket();
    if (socket == KES_INVALID_SOCKET) {
        CKesError(KES_ERR_INVALID_SOCKET, kSource, __LINE__, "The multicast channel has no receive socket");
        return KES_ERR_INVALID_SOCKET;
    }
    int result = RegisterIO(socket, __LINE__);
    if (KesTraceOn(4)) KesTrace("Adding multicast IO on %u\n", socket);
    return result;
}

int CKesSockEngine::KSEProcessMulticast(CKesIOWorkPacket* packet)
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEProcessMulticast().\n");
    if (packet == nullptr) return KES_ERR_ARGUMENT;
    CKesRecord record;
    int result = record.KOMDecode(packet->KIWPGetPacket(), packet->KIWPGetPacketLength());
    if (result != 1) return result;
    if (!m_InstallationKey->KIKAdmitDatagram(packet->KIWPGetPacket(), packet->KIWPGetPacketLength(), record,
                                             packet->KIWPGetSource(), packet->KIWPGetSourceLen()))
        return 1; // counted and reported
    if (KesTraceOn(4)) KesTrace("Got multicast data ");

    if (record.KRValueOf(CKesSockEnd::ms_AddressReply) != nullptr)
        result = KSEProcessAddressReply(&record);
    else if (record.KRValueOf(CKesSockEnd::ms_AddressRequest) != nullptr)
        result = KSEProcessAddressRequest(&record);
    else
        result = KSEProcessMulticastTraffic(&record);
    if (result != 1) ReportDatagram(result, __LINE__, *packet, KindOf(record));
    return result;
}

int CKesSockEngine::KSEProcessAddressRequest(CKesRecord* record)
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEProcessAddressRequest().\n");
    const char* name = NamedService(record);
    if (name == nullptr) return 1;
    CKesObjSockServer* server = nullptr;
    UseCount* count = nullptr;
    {
        // Found and counted in as one step, so that its removal waits for this call.
        CKesAutoMutex hold(m_EngineLock);
        server = FindServer(name);
        count = CountIn(server);
    }
    if (server == nullptr) return 1;
    InUse use(*this, server, count);
    server->KOSSProcessAddressRequest(record);
    if (KesTraceOn(4)) KesTrace("Forwarding AddrReq to SockServer %s\n", name);
    return 1;
}

int CKesSockEngine::KSEProcessAddressReply(CKesRecord* record)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KSEProcessAddressReply().\n");
    const char* name = NamedService(record);
    if (name == nullptr) return 1;
    CKesObjSockClient* client = nullptr;
    UseCount* count = nullptr;
    {
        CKesAutoMutex hold(m_EngineLock);
        client = FindClient(name);
        count = CountIn(client);
    }
    if (client == nullptr) return 1;
    InUse use(*this, client, count);
    client->KOSCProcessAddressReply(record);
    return 1;
}

int CKesSockEngine::KSEProcessMulticastTraffic(CKesRecord*)
{
    if (KesTraceOn(4)) KesTrace("CKesSockEngine::KSEProcessMulticastTraffic().\n");
    return 1;
}
