#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "WinTypes.h"

namespace kiva {

// The root of every component interface. Objects are reference-counted: the last Release
// frees them. Interfaces have no public destructor; only Release ends an object's life.
struct IUnknown {
    static constexpr IID kIID = GuidLiteral("{00000000-0000-0000-C000-000000000046}");
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
    static constexpr IID kIID = GuidLiteral("{00000001-0000-0000-C000-000000000046}");
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

struct ISupportErrorInfo : IUnknown {
    static constexpr IID kIID = GuidLiteral("{DF0B3D60-548F-101B-8E65-08002B2BD119}");
    virtual HRESULT InterfaceSupportsErrorInfo(REFIID iid) = 0;

protected:
    ~ISupportErrorInfo() = default;
};

// Services an object offers beside its interfaces, found by a service identifier: a host's
// services to the control it hosts, or the services a request's consumer offers its protocol.
struct IServiceProvider : IUnknown {
    static constexpr IID kIID = GuidLiteral("{6D5140C1-7436-11CE-8034-00AA006009FA}");
    // S_OK with an object in ppvObject, or E_NOINTERFACE with null.
    virtual HRESULT QueryService(REFGUID guidService, REFIID riid, void** ppvObject) = 0;

protected:
    ~IServiceProvider() = default;
};

inline constexpr IID IID_IUnknown = IUnknown::kIID;
inline constexpr IID IID_IServiceProvider = IServiceProvider::kIID;
inline constexpr IID IID_IClassFactory = IClassFactory::kIID;
inline constexpr IID IID_ISupportErrorInfo = ISupportErrorInfo::kIID;

// An owning interface reference: one AddRef on taking a pointer, one Release when dropped.
template <class T> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference on p.
    explicit ComPtr(T* p) : p_(p) {
        if (p_) {
            p_->AddRef();
        }
    }
    ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& o) {
        ComPtr(o).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        ComPtr(std::move(o)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }

    // Adopts a reference the caller already owns (no AddRef).
    static ComPtr Attach(T* p) {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    // Hands the reference to the caller (no Release).
    T* Detach() { return std::exchange(p_, nullptr); }

    void Reset() {
        if (T* p = std::exchange(p_, nullptr)) {
            p->Release();
        }
    }
    void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // For out-parameters: drops the current reference first, so a filled pointer never leaks.
    T** ReleaseAndGetAddressOf() {
        Reset();
        return &p_;
    }
    // Out-parameter of the void** form that QueryInterface and factories take.
    void** ReleaseAndGetVoidAddress() {
        Reset();
        return reinterpret_cast<void**>(&p_);
    }

    // Asks the object for interface U.
    template <class U> HRESULT As(ComPtr<U>& out) const {
        if (!p_) {
            out.Reset();
            return E_POINTER;
        }
        return p_->QueryInterface(U::kIID, out.ReleaseAndGetVoidAddress());
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

private:
    T* p_ = nullptr;
};

class TComObjectFactory;

// What the factories of a COM server and the objects they make need of it: the count of live
// objects (and locks), which keeps the server running, the executable that serves the classes,
// and ownership of the factories. TComServer is the program's one.
class TComObjectHost {
public:
    TComObjectHost(const TComObjectHost&) = delete;
    TComObjectHost& operator=(const TComObjectHost&) = delete;

    int ObjectCount() const { return objectCount_.load(); }
    // Full path of the executable that serves the classes.
    virtual std::string ServerFileName() const = 0;

protected:
    TComObjectHost() = default;
    ~TComObjectHost() = default;
    // Called when the last live object or lock goes away.
    virtual void LastObjectReleased() {}

private:
    friend class TComObject;
    friend class TComObjectFactory;
    virtual void AddFactory(std::unique_ptr<TComObjectFactory> factory) = 0;
    void CountObject(bool created);

    // Objects may be released on any thread.
    std::atomic<int> objectCount_{0};
};

// The base of the program's component objects: a reference count that frees the object at its
// last release, and the answers for IUnknown and ISupportErrorInfo. Derived classes add their
// interfaces by overriding GetInterface. A class that inherits further interfaces must take
// over QueryInterface, AddRef and Release from this base (see TComObjectWith).
class TComObject : public ISupportErrorInfo {
public:
    TComObject();
    TComObject(const TComObject&) = delete;
    TComObject& operator=(const TComObject&) = delete;

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT InterfaceSupportsErrorInfo(REFIID iid) override;

    ULONG RefCount() const { return refCount_.load(); }
    // The object's identity, the same pointer QueryInterface gives for IUnknown. Classes with
    // further interfaces have several IUnknown bases; this names the one that counts.
    IUnknown* Unknown() { return static_cast<ISupportErrorInfo*>(this); }
    // The factory that made this object, or null for objects made directly. Only valid while
    // the factory exists.
    TComObjectFactory* Factory() const { return factory_; }

protected:
    virtual ~TComObject();
    // Puts the interface for iid into object; false when the object has none.
    virtual bool GetInterface(REFIID iid, void** object);

private:
    friend class TComObjectFactory;
    // Called by the factory that created the object; counts it as served by the program.
    void SetFactory(TComObjectFactory* factory);

    std::atomic<ULONG> refCount_{0};
    TComObjectFactory* factory_ = nullptr;
    // Kept apart from the factory: the server outlives factories destroyed at program end.
    TComObjectHost* server_ = nullptr;
};

// A component object with further interfaces: one QueryInterface, AddRef and Release that
// answer for the base and every listed interface alike.
template <class... Interfaces> class TComObjectWith : public TComObject, public Interfaces... {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        return TComObject::QueryInterface(iid, object);
    }
    ULONG AddRef() override { return TComObject::AddRef(); }
    ULONG Release() override { return TComObject::Release(); }

protected:
    ~TComObjectWith() override = default;
    // Answers each listed interface by its own identifier. Classes add only what the list
    // does not name, such as the base of a listed interface.
    bool GetInterface(REFIID iid, void** object) override {
        return ((iid == Interfaces::kIID ? (*object = static_cast<Interfaces*>(this), true)
                                         : false) ||
                ...) ||
               TComObject::GetInterface(iid, object);
    }
};

enum TClassInstancing { ciInternal, ciSingleInstance, ciMultiInstance };
enum TThreadingModel { tmSingle, tmApartment, tmFree, tmBoth, tmNeutral };

// The class factory of one component class. It creates a new object of the class for every
// CreateInstance, keeps the cookie of its class-object registration and revokes it when it is
// destroyed. Its own life is not reference-counted: the COM server that owns it destroys it at
// program end.
class TComObjectFactory final : public IClassFactory {
public:
    using TCreator = std::function<TComObject*()>;

    // Creates the factory and hands it to the server, which owns it from then on.
    static TComObjectFactory* Create(TComObjectHost& server, TCreator creator, REFCLSID classID,
                                     std::string className, std::string description,
                                     TClassInstancing instancing,
                                     TThreadingModel threadingModel = tmSingle);
    ~TComObjectFactory();
    TComObjectFactory(const TComObjectFactory&) = delete;
    TComObjectFactory& operator=(const TComObjectFactory&) = delete;

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT LockServer(BOOL lock) override;

    TComObjectHost& Server() const { return server_; }
    const CLSID& ClassID() const { return classID_; }
    const std::string& ClassName() const { return className_; }
    const std::string& Description() const { return description_; }
    TClassInstancing Instancing() const { return instancing_; }
    TThreadingModel ThreadingModel() const { return threadingModel_; }
    // The executable's file name without extension, a dot and the class name.
    std::string ProgID() const;
    DWORD RegisterCookie() const { return cookie_; }

    // Makes the factory the class object of its class for other callers in the process.
    HRESULT RegisterClassObject(DWORD extraFlags = 0);
    void RevokeClassObject();
    // Writes (true) or removes (false) the class's registry entries.
    void UpdateRegistry(bool doRegister);

private:
    TComObjectFactory(TComObjectHost& server, TCreator creator, REFCLSID classID,
                      std::string className, std::string description, TClassInstancing instancing,
                      TThreadingModel threadingModel);

    TComObjectHost& server_;
    TCreator creator_;
    CLSID classID_;
    std::string className_;
    std::string description_;
    TClassInstancing instancing_;
    TThreadingModel threadingModel_;
    DWORD cookie_ = 0;
    std::atomic<ULONG> refCount_{0};
};

// Class contexts and registration flags of the class-object table.
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_ALL = 0x17;
inline constexpr DWORD REGCLS_SINGLEUSE = 0;
inline constexpr DWORD REGCLS_MULTIPLEUSE = 1;
inline constexpr DWORD REGCLS_MULTI_SEPARATE = 2;
inline constexpr DWORD REGCLS_SUSPENDED = 4;

// The process-wide table of class objects. A class object is found for a request when one of
// the requested contexts was registered; a single-use registration serves one request only, a
// suspended one none until CoResumeClassObjects. The table holds one reference on each object.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD clsContext, DWORD flags,
                              DWORD* cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
HRESULT CoResumeClassObjects();
// REGDB_E_CLASSNOTREG for an unknown class, CLASS_E_CLASSNOTAVAILABLE when the class is known
// but not for the requested context (or is suspended or used up).
HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, void* serverInfo, REFIID iid,
                         void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID iid,
                         void** object);

// The apartment of the GUI thread. The program has one thread, so this only keeps the count
// that pairs initialisations with uninitialisations: S_FALSE when already initialised.
HRESULT OleInitialize(void* reserved);
void OleUninitialize();
bool OleInitialized();

// Number of live objects made by the program's class factories; the program may not end
// quietly while clients still hold some of them.
int ComObjectCount();

} // namespace kiva
