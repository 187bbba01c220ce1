#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ComObj.h"

namespace kiva {

enum TStartMode { smStandalone, smAutomation, smRegServer, smUnregServer };

// The start-up switches found on a command line.
struct TComServerSwitches {
    bool RegServer = false;
    bool UnregServer = false;
    bool Automation = false;
    bool Embedding = false;

    // The mode they select: registration first, then removal, then a start by COM.
    TStartMode StartMode() const;
};

// Finds the switches among the arguments (without the program name). A switch is a whole
// argument: "/" or "-" followed by its name in any letter case. Everything else is ignored.
TComServerSwitches ParseComServerSwitches(const std::vector<std::string>& args);

// The program's COM server: owns the class factories, answers the start-up switches and keeps
// the count of live objects that the factories made.
class TComServer final : public TComObjectHost {
public:
    TComServer();
    ~TComServer();
    TComServer(const TComServer&) = delete;
    TComServer& operator=(const TComServer&) = delete;

    // Reads the switches. With regserver or unregserver it writes or removes every factory's
    // registry entries and returns false: the program must end at once, before any window
    // exists. Otherwise it registers every factory as a class object and returns true. A
    // failure while writing raises; a registry-access failure while removing is ignored.
    bool Initialize(const std::vector<std::string>& args);
    // Destroys the factories, newest first; each revokes its class-object registration.
    void Finalize();

    TStartMode StartMode() const { return startMode_; }
    std::string ServerFileName() const override;
    // Used by tests and tools that register on behalf of another executable.
    void SetServerFileName(std::string fileName) { serverFileName_ = std::move(fileName); }

    int FactoryCount() const { return static_cast<int>(factories_.size()); }
    TComObjectFactory* Factory(int i) const { return factories_.at(i).get(); }
    TComObjectFactory* FindFactory(REFCLSID classID) const;

    // Called when the last served object goes away while the program was started by COM
    // (automation or embedding): such a program ends by itself then.
    std::function<void()> OnLastRelease;

private:
    void AddFactory(std::unique_ptr<TComObjectFactory> factory) override;
    void LastObjectReleased() override;

    TStartMode startMode_ = smStandalone;
    std::string serverFileName_;
    std::vector<std::unique_ptr<TComObjectFactory>> factories_;
};

// The program's one server, alive from first use to program end.
TComServer& ComServer();

} // namespace kiva
