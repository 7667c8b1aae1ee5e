#include "KesEngineHarness.h"

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
        log.Add("io " + Name(client) + " " + TextOf(*record, "data"));
    delete record;
}

std::string RecordingServer::Name(CKesSockEnd* client)
{
    return client->KSEGetEndPointName() ? client->KSEGetEndPointName() : "-";
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

} // namespace ksxtest
