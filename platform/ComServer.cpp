#include "ComServer.h"

#include <unistd.h>

#include <climits>

#include "Registry.h"

namespace kiva {

TStartMode TComServerSwitches::StartMode() const {
    if (RegServer) {
        return smRegServer;
    }
    if (UnregServer) {
        return smUnregServer;
    }
    if (Automation || Embedding) {
        return smAutomation;
    }
    return smStandalone;
}

TComServerSwitches ParseComServerSwitches(const std::vector<std::string>& args) {
    TComServerSwitches s;
    for (const std::string& a : args) {
        if (a.size() < 2 || (a[0] != '/' && a[0] != '-')) {
            continue;
        }
        const std::string_view name = std::string_view(a).substr(1);
        if (SameTextAscii(name, "regserver")) {
            s.RegServer = true;
        } else if (SameTextAscii(name, "unregserver")) {
            s.UnregServer = true;
        } else if (SameTextAscii(name, "automation")) {
            s.Automation = true;
        } else if (SameTextAscii(name, "embedding")) {
            s.Embedding = true;
        }
    }
    return s;
}

TComServer::TComServer() = default;

TComServer::~TComServer() {
    Finalize();
}

std::string TComServer::ServerFileName() const {
    if (!serverFileName_.empty()) {
        return serverFileName_;
    }
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

TComObjectFactory* TComServer::FindFactory(REFCLSID classID) const {
    for (const auto& f : factories_) {
        if (f->ClassID() == classID) {
            return f.get();
        }
    }
    return nullptr;
}

void TComServer::AddFactory(std::unique_ptr<TComObjectFactory> factory) {
    factories_.push_back(std::move(factory));
}

void TComServer::LastObjectReleased() {
    if (startMode_ == smAutomation && OnLastRelease) {
        OnLastRelease();
    }
}

bool TComServer::Initialize(const std::vector<std::string>& args) {
    startMode_ = ParseComServerSwitches(args).StartMode();
    if (startMode_ == smRegServer) {
        for (const auto& f : factories_) {
            f->UpdateRegistry(true);
        }
        return false;
    }
    if (startMode_ == smUnregServer) {
        for (const auto& f : factories_) {
            try {
                f->UpdateRegistry(false);
            } catch (const ERegistryError& e) {
                if (e.ErrorCode != TYPE_E_REGISTRYACCESS) {
                    throw;
                }
            }
        }
        return false;
    }
    // Registered suspended and resumed together, so no client sees half of the classes.
    for (const auto& f : factories_) {
        f->RegisterClassObject(REGCLS_SUSPENDED);
    }
    CoResumeClassObjects();
    return true;
}

void TComServer::Finalize() {
    while (!factories_.empty()) {
        factories_.pop_back();
    }
}

TComServer& ComServer() {
    // Never destroyed by the runtime: the program ends the server itself with Finalize, and
    // objects released after that still find their counter.
    static TComServer* server = new TComServer;
    return *server;
}

} // namespace kiva
