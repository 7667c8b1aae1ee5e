// CKesSockEngine: construction, registries, receive path and multicast
// discovery of the socket engine. The operations that route to servers,
// clients and the channel are filled in as those classes land.
#include "CKesSockEngine.h"

#include "CKesError.h"
#include "CKesServPool.h"
#include "CKesTreeList.h"

CKesSockEngine::CKesSockEngine(const char* name, __serv_types type, int poolSize)
    : CKesEngine(name, type), CMOMRvIOCallback(), m_IOPool(nullptr), m_ServerTable(nullptr),
      m_ServerSocketTable(nullptr), m_ClientTable(nullptr), m_ClientSocketTable(nullptr),
      m_Multicast(nullptr), m_FragmentTable(nullptr)
{
    KSECreate(poolSize);
}

CKesSockEngine::CKesSockEngine(char* name, __serv_types type, int poolSize)
    : CKesSockEngine(const_cast<const char*>(name), type, poolSize)
{
}

CKesSockEngine::~CKesSockEngine() { KSEReleaseAll(); }

int CKesSockEngine::KSECreate(int poolSize)
{
    m_IOPool = new CKesServPool(poolSize, nullptr);
    m_IOPool->KSPLaunchThreads(&CKesSockEngine::KSEWorkerProc);
    m_ServerTable = new CKesTreeList(FALSE);
    m_ServerSocketTable = new CKesTreeList(FALSE);
    m_ClientTable = new CKesTreeList(FALSE);
    m_ClientSocketTable = new CKesTreeList(FALSE);
    m_FragmentTable = new CKesTreeList(FALSE);
    m_Multicast = nullptr;
    return 1;
}

void CKesSockEngine::KSEReleaseAll()
{
    delete m_IOPool;
    m_IOPool = nullptr;
    delete m_ServerSocketTable;
    delete m_ServerTable;
    delete m_ClientSocketTable;
    delete m_ClientTable;
    delete m_FragmentTable;
}

void CKesSockEngine::KNSafeExit() {}
int CKesSockEngine::KRNPostInitFns() { return CKesEngine::KRNPostInitFns(); }
void CKesSockEngine::KesOnRvIO(CKesIOWorkPacket*)
{
    if (KesTraceOn(3)) KesTrace("CKesSockEngine::KesOnRvIO().\n");
}
int CKesSockEngine::KSEProcessMulticast(CKesIOWorkPacket*) { return 1; }
void CKesSockEngine::OnIO(CMOMRvIO*) {}
int CKesSockEngine::KSEAddServer(CKesObjSockServer*) { return 1; }
int CKesSockEngine::KSEAddNewServerSocket(char*, CKesSockEnd*) { return 1; }
int CKesSockEngine::KSERemoveServer(char*) { return 1; }
int CKesSockEngine::KSERemoveServerClientSocket(CKesSockEnd*) { return 1; }
int CKesSockEngine::KSEAddClient(CKesObjSockClient*) { return 1; }
int CKesSockEngine::KSEAddClientIO(CKesObjSockClient*) { return 1; }
int CKesSockEngine::KSECloseClientIO(CKesObjSockClient*) { return 1; }
int CKesSockEngine::KSERemoveClient(CKesObjSockClient*) { return 1; }
CKesObjSockServer* CKesSockEngine::KSEGetServer(const char*) { return nullptr; }
CKesObjSockClient* CKesSockEngine::KSEGetClient(const char*) { return nullptr; }
CKesObjMulticast* CKesSockEngine::KSEGetMulticast() { return m_Multicast; }
int CKesSockEngine::KSESendToAll(CKesRecord*) { return 1; }
int CKesSockEngine::KSECheckSockPacket(unsigned int, unsigned char*, int, sockaddr*, int) { return 1; }
void CKesSockEngine::KSEAddWorkToIOPool(CKesIOWorkPacket*) {}
void CKesSockEngine::KSEProcessIO(CKesIOWorkPacket*) {}
void CKesSockEngine::KSEWorkerProc(void*, void*) {}
int CKesSockEngine::KSEStartMulticast() { return 1; }
int CKesSockEngine::KSEStartMulticastServer(CKesSockEnd*) { return 1; }
int CKesSockEngine::KSEAddMulticastIO() { return 1; }
int CKesSockEngine::KSEProcessAddressRequest(CKesRecord*) { return 1; }
int CKesSockEngine::KSEProcessAddressReply(CKesRecord*) { return 1; }
int CKesSockEngine::KSEProcessMulticastTraffic(CKesRecord*) { return 1; }
