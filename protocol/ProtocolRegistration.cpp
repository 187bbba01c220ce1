#include "ProtocolRegistration.h"

#include "OurNSHandler.h"
#include "SysUtils.h"

namespace kiva {

void RegisterKivaNameSpace(ComPtr<IClassFactory>& protocolFactory,
                           ComPtr<IInternetSession>& internetSession) {
    protocolFactory.Reset();
    CoGetClassObject(CLSID_OurNSHandler, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr,
                     IID_IClassFactory, protocolFactory.ReleaseAndGetVoidAddress());
    CoInternetGetSession(0, internetSession.ReleaseAndGetAddressOf(), 0);
    if (!internetSession) {
        throw Exception("No internet session");
    }
    internetSession->RegisterNameSpace(protocolFactory.Get(), CLSID_OurNSHandler, kKivaScheme, 0,
                                       nullptr, 0);
}

void UnregisterKivaNameSpace(const ComPtr<IClassFactory>& protocolFactory,
                             const ComPtr<IInternetSession>& internetSession) {
    if (internetSession) {
        internetSession->UnregisterNameSpace(protocolFactory.Get(), kKivaScheme);
    }
}

} // namespace kiva
