#pragma once

#include "ComObj.h"
#include "UrlMon.h"

namespace kiva {

inline constexpr const char16_t* kKivaScheme = u"kiva";

// Makes the handler serve the scheme "kiva" in this process: obtains the class object of the
// handler's class (cleared first), the process's session, and registers the name space. The
// result codes are not examined: a missing class object only shows as unserved requests. A
// step that raises (a session that was not obtained) raises kiva::Exception, which the main
// window answers with "Error registering Pluggable Protocol".
void RegisterKivaNameSpace(ComPtr<IClassFactory>& protocolFactory,
                           ComPtr<IInternetSession>& internetSession);
// Withdraws the registration; nothing happens when the session was never obtained.
void UnregisterKivaNameSpace(const ComPtr<IClassFactory>& protocolFactory,
                             const ComPtr<IInternetSession>& internetSession);

} // namespace kiva
