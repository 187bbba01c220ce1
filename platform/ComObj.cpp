#include "ComObj.h"

#include <algorithm>
#include <new>
#include <vector>

#include "Registry.h"

namespace kiva {

namespace {

// Live objects and locks of every server in the process.
std::atomic<int> liveObjects{0};

} // namespace

// ---- TComObjectHost

void TComObjectHost::CountObject(bool created) {
    if (created) {
        ++objectCount_;
        ++liveObjects;
        return;
    }
    // An unlock without a lock counts for nothing.
    int count = objectCount_.load();
    while (count > 0 && !objectCount_.compare_exchange_weak(count, count - 1)) {
    }
    if (count == 0) {
        return;
    }
    --liveObjects;
    if (count == 1) {
        LastObjectReleased();
    }
}

// ---- TComObject

TComObject::TComObject() = default;

TComObject::~TComObject() {
    if (server_) {
        server_->CountObject(false);
    }
}

void TComObject::SetFactory(TComObjectFactory* factory) {
    if (factory_ || !factory) {
        return;
    }
    factory_ = factory;
    server_ = &factory->Server();
    server_->CountObject(true);
}

bool TComObject::GetInterface(REFIID iid, void** object) {
    if (iid == IID_IUnknown) {
        *object = Unknown();
        return true;
    }
    if (iid == IID_ISupportErrorInfo) {
        *object = static_cast<ISupportErrorInfo*>(this);
        return true;
    }
    return false;
}

HRESULT TComObject::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!GetInterface(iid, object) || !*object) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG TComObject::AddRef() {
    return ++refCount_;
}

ULONG TComObject::Release() {
    const ULONG count = --refCount_;
    if (count == 0) {
        delete this;
    }
    return count;
}

HRESULT TComObject::InterfaceSupportsErrorInfo(REFIID iid) {
    void* p = nullptr;
    return GetInterface(iid, &p) && p ? S_OK : S_FALSE;
}

// ---- TComObjectFactory

TComObjectFactory::TComObjectFactory(TComObjectHost& server, TCreator creator, REFCLSID classID,
                                     std::string className, std::string description,
                                     TClassInstancing instancing, TThreadingModel threadingModel)
    : server_(server), creator_(std::move(creator)), classID_(classID),
      className_(std::move(className)), description_(std::move(description)),
      instancing_(instancing), threadingModel_(threadingModel) {}

TComObjectFactory* TComObjectFactory::Create(TComObjectHost& server, TCreator creator,
                                             REFCLSID classID, std::string className,
                                             std::string description, TClassInstancing instancing,
                                             TThreadingModel threadingModel) {
    std::unique_ptr<TComObjectFactory> f(
        new TComObjectFactory(server, std::move(creator), classID, std::move(className),
                              std::move(description), instancing, threadingModel));
    TComObjectFactory* result = f.get();
    server.AddFactory(std::move(f));
    return result;
}

TComObjectFactory::~TComObjectFactory() {
    RevokeClassObject();
}

HRESULT TComObjectFactory::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG TComObjectFactory::AddRef() {
    return ++refCount_;
}

ULONG TComObjectFactory::Release() {
    const ULONG count = refCount_.load();
    return count == 0 ? 0 : --refCount_;
}

HRESULT TComObjectFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer) {
        return CLASS_E_NOAGGREGATION;
    }
    try {
        TComObject* obj = creator_ ? creator_() : nullptr;
        if (!obj) {
            return E_OUTOFMEMORY;
        }
        obj->SetFactory(this);
        // The temporary reference frees the object again when it lacks the interface.
        obj->AddRef();
        const HRESULT hr = obj->QueryInterface(iid, object);
        obj->Release();
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT TComObjectFactory::LockServer(BOOL lock) {
    // A lock keeps the server running like a live object does.
    server_.CountObject(lock != FALSE);
    return S_OK;
}

std::string TComObjectFactory::ProgID() const {
    std::string name = server_.ServerFileName();
    const std::size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos) {
        name.erase(dot);
    }
    return name + "." + className_;
}

HRESULT TComObjectFactory::RegisterClassObject(DWORD extraFlags) {
    if (cookie_ != 0 || instancing_ == ciInternal) {
        return S_FALSE;
    }
    const DWORD use = instancing_ == ciSingleInstance ? REGCLS_SINGLEUSE : REGCLS_MULTIPLEUSE;
    return CoRegisterClassObject(classID_, static_cast<IClassFactory*>(this), CLSCTX_LOCAL_SERVER,
                                 use | extraFlags, &cookie_);
}

void TComObjectFactory::RevokeClassObject() {
    if (cookie_ != 0) {
        CoRevokeClassObject(cookie_);
        cookie_ = 0;
    }
}

void TComObjectFactory::UpdateRegistry(bool doRegister) {
    if (instancing_ == ciInternal) {
        return;
    }
    const std::string classKey = "CLSID\\" + GUIDToString(classID_);
    const std::string progID = ProgID();
    if (doRegister) {
        CreateRegKey(classKey, "", description_);
        CreateRegKey(classKey + "\\LocalServer32", "", server_.ServerFileName());
        CreateRegKey(classKey + "\\ProgID", "", progID);
        CreateRegKey(progID, "", description_);
        CreateRegKey(progID + "\\Clsid", "", GUIDToString(classID_));
    } else {
        DeleteRegKey(progID + "\\Clsid");
        DeleteRegKey(progID);
        DeleteRegKey(classKey + "\\ProgID");
        DeleteRegKey(classKey + "\\LocalServer32");
        DeleteRegKey(classKey);
    }
}

// ---- The class-object table

namespace {

struct TClassEntry {
    CLSID Clsid;
    ComPtr<IUnknown> Object;
    DWORD Context;
    DWORD Flags;
    DWORD Cookie;
    bool Suspended;
    bool UsedUp;
};

struct TClassTable {
    std::vector<TClassEntry> Entries;
    DWORD NextCookie = 1;
};

TClassTable& ClassTable() {
    // Never destroyed: objects may still be revoked by other objects' destructors at exit.
    static TClassTable* table = new TClassTable;
    return *table;
}

int oleInitCount = 0;

} // namespace

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD clsContext, DWORD flags,
                              DWORD* cookie) {
    if (!object || !cookie) {
        return E_INVALIDARG;
    }
    auto& t = ClassTable();
    const DWORD c = t.NextCookie++;
    t.Entries.push_back(TClassEntry{clsid, ComPtr<IUnknown>(object), clsContext, flags, c,
                                    (flags & REGCLS_SUSPENDED) != 0, false});
    *cookie = c;
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
    auto& e = ClassTable().Entries;
    auto it =
        std::find_if(e.begin(), e.end(), [&](const TClassEntry& x) { return x.Cookie == cookie; });
    if (it == e.end()) {
        return CO_E_OBJNOTREG;
    }
    // The reference is dropped after the entry has left the table, so a Release that calls
    // back into the table sees it consistent.
    ComPtr<IUnknown> object = std::move(it->Object);
    e.erase(it);
    object.Reset();
    return S_OK;
}

HRESULT CoResumeClassObjects() {
    for (auto& x : ClassTable().Entries) {
        x.Suspended = false;
    }
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, void* /*serverInfo*/, REFIID iid,
                         void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    auto& e = ClassTable().Entries;
    bool known = false;
    // The newest registration of a class wins.
    for (auto it = e.rbegin(); it != e.rend(); ++it) {
        if (!(it->Clsid == clsid)) {
            continue;
        }
        known = true;
        if ((it->Context & clsContext) == 0 || it->Suspended || it->UsedUp) {
            continue;
        }
        const HRESULT hr = it->Object->QueryInterface(iid, object);
        if (SUCCEEDED(hr) && (it->Flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == 0) {
            it->UsedUp = true;
        }
        return hr;
    }
    return known ? CLASS_E_CLASSNOTAVAILABLE : REGDB_E_CLASSNOTREG;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID iid,
                         void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(clsid, clsContext, nullptr, IID_IClassFactory,
                                  factory.ReleaseAndGetVoidAddress());
    if (FAILED(hr)) {
        return hr;
    }
    return factory->CreateInstance(outer, iid, object);
}

HRESULT OleInitialize(void* /*reserved*/) {
    return oleInitCount++ == 0 ? S_OK : S_FALSE;
}

void OleUninitialize() {
    if (oleInitCount > 0) {
        --oleInitCount;
    }
}

bool OleInitialized() {
    return oleInitCount > 0;
}

int ComObjectCount() {
    return liveObjects.load();
}

} // namespace kiva
