#pragma once

#include "ComObj.h"

namespace kiva {

// Makes the WebKitGTK browser the class object of CLSID_WebBrowser for as long as the returned
// object lives, so that the browser host creates it through CoCreateInstance. The program
// registers it once at start, after the toolkit is initialised, and keeps it to the end.
// Objects it creates are not counted as objects the program serves to other clients.
class TWebKitBrowserRegistration {
public:
    TWebKitBrowserRegistration() = default;
    TWebKitBrowserRegistration(TWebKitBrowserRegistration&& other) noexcept;
    TWebKitBrowserRegistration& operator=(TWebKitBrowserRegistration&& other) noexcept;
    ~TWebKitBrowserRegistration();

    bool Registered() const { return cookie_ != 0; }

private:
    friend TWebKitBrowserRegistration RegisterWebKitBrowserClass();
    DWORD cookie_ = 0;
};

// Raises kiva::Exception when the class object cannot be registered.
[[nodiscard]] TWebKitBrowserRegistration RegisterWebKitBrowserClass();

} // namespace kiva
