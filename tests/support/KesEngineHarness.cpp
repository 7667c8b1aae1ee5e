#include "KesEngineHarness.h"

#include <sys/socket.h>

#include <algorithm>

namespace ksxtest {

void EventLog::Add(const std::string& event)
{
    std::lock_guard<std::mutex> hold(m_Lock);
    m_Events.push_back(event);
    m_Changed.notify_all();
}

std::vector<std::string> EventLog::Events()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_Events;
}

int EventLog::Count(const std::string& event)
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return static_cast<int>(std::count(m_Events.begin(), m_Events.end(), event));
}

bool EventLog::WaitFor(const std::string& event, int times)
{
    std::unique_lock<std::mutex> hold(m_Lock);
    return m_Changed.wait_for(hold, std::chrono::milliseconds(kEngineGuardMs),
                              [&] { return std::count(m_Events.begin(), m_Events.end(), event) >= times; });
}

void RecordingServer::KesOnServerIO(CKesSockEnd* client, CKesRecord* record)
{
    if (echo)
        KOSSSendToClient(client->KSEGetEndPointName(), record);
    else
        log.Add("io " + Name(client) + " " + DataOf(*record));
    delete record;
}

std::unique_ptr<CKesRecord> Hello(const std::string& id)
{
    return std::unique_ptr<CKesRecord>(CKesSockEnd::KSEGetClientIdPacket(id.c_str()));
}

std::unique_ptr<WireConnection> Greeted(unsigned int port, const std::string& id)
{
    auto peer = WireConnection::To(port);
    if (!peer->Send(*Hello(id))) ADD_FAILURE() << "the greeting of " << id << " was not sent";
    return peer;
}

std::unique_ptr<WireConnection> Identified(RecordingServer& server, const std::string& id)
{
    auto peer = Greeted(server.Port(), id);
    EXPECT_TRUE(server.log.WaitFor("connect " + id)) << id << " was not welcomed";
    return peer;
}

LoggingClient::LoggingClient(const char* id, const char* service, const char* domain)
    : CKesObjSockClient(strdup(id))
{
    KOSCSetServiceName(strdup(service));
    KOSCSetDomain(strdup(domain));
}

void LoggingClient::KesOnClientIO(CKesSockEnd*, CKesRecord* record)
{
    log.Add("io " + DataOf(*record));
    delete record;
}

// Address records leave out the address when port is 0.
static std::unique_ptr<CKesRecord> Announced(const char* service, const char* domain, int port, bool reply)
{
    CKesSockEnd end;
    end.KSESetServiceName(strdup(service));
    end.KSESetEndPointDomain(strdup(domain));
    if (port) end.KSESetEndPointAddress("127.0.0.1", port);
    return std::unique_ptr<CKesRecord>(reply ? end.KSEGetAddressReplyPacket()
                                             : end.KSEGetAddressRequestPacket());
}

std::unique_ptr<CKesRecord> AddressRequest(const char* service, const char* domain)
{
    return Announced(service, domain, 0, false);
}

std::unique_ptr<CKesRecord> AddressReply(const char* service, const char* domain, int port)
{
    return Announced(service, domain, port, true);
}

std::unique_ptr<CKesRecord> NextDatagram(int fd, int timeoutMs,
                                         const std::function<bool(const CKesRecord&)>& wanted)
{
    unsigned char buffer[65536];
    while (Readable(fd, timeoutMs)) {
        const ssize_t length = recv(fd, buffer, sizeof buffer, 0);
        auto record = std::make_unique<CKesRecord>();
        if (length > 0 && record->KOMDecode(buffer, static_cast<unsigned int>(length)) == 1 &&
            (!wanted || wanted(*record)))
            return record;
    }
    return nullptr;
}

} // namespace ksxtest
