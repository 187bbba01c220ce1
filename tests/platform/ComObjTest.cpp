#include "ComObj.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "ComServer.h"
#include "TestObjects.h"

namespace kiva {
namespace {

using test::IFoo;
using test::TFoo;

constexpr CLSID kClassA = GuidLiteral("{6A1E2B3C-00A0-4000-8000-0000000000A0}");
constexpr CLSID kClassB = GuidLiteral("{6A1E2B3C-00B0-4000-8000-0000000000B0}");

TEST(ComObject, IsFreedAtItsLastRelease) {
    bool freed = false;
    auto* obj = new TFoo(&freed);
    {
        ComPtr<TFoo> a(obj);
        EXPECT_EQ(obj->RefCount(), 1u);
        ComPtr<IFoo> foo;
        ASSERT_EQ(a.As(foo), S_OK);
        EXPECT_EQ(foo->Value(), 7);
        EXPECT_EQ(obj->RefCount(), 2u);
        ComPtr<IFoo> copy = foo;
        ComPtr<IFoo> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(obj->RefCount(), 3u);
        moved = nullptr;
        foo.Reset();
        EXPECT_EQ(obj->RefCount(), 1u);
        EXPECT_FALSE(freed);
    }
    EXPECT_TRUE(freed);
}

TEST(ComObject, AttachAndDetachMoveOwnershipWithoutCounting) {
    bool freed = false;
    auto* obj = new TFoo(&freed);
    obj->AddRef();
    ComPtr<TFoo> p = ComPtr<TFoo>::Attach(obj);
    EXPECT_EQ(obj->RefCount(), 1u);
    TFoo* raw = p.Detach();
    EXPECT_FALSE(p);
    EXPECT_EQ(raw->RefCount(), 1u);
    EXPECT_EQ(raw->Release(), 0u);
    EXPECT_TRUE(freed);
}

TEST(ComObject, AnswersOnlyTheInterfacesItHas) {
    ComPtr<TFoo> obj(new TFoo);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(obj->QueryInterface(test::IID_IBar, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(obj->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(obj->RefCount(), 1u);

    // One identity: IUnknown asked through any interface is the same pointer.
    ComPtr<IFoo> foo;
    ASSERT_EQ(obj.As(foo), S_OK);
    ComPtr<IUnknown> u1, u2;
    ASSERT_EQ(obj.As(u1), S_OK);
    ASSERT_EQ(foo.As(u2), S_OK);
    EXPECT_EQ(u1.Get(), u2.Get());

    ComPtr<ISupportErrorInfo> info;
    ASSERT_EQ(foo.As(info), S_OK);
    EXPECT_EQ(info->InterfaceSupportsErrorInfo(IFoo::kIID), S_OK);
    EXPECT_EQ(info->InterfaceSupportsErrorInfo(test::IID_IBar), S_FALSE);
}

class FactoryTest : public ::testing::Test {
protected:
    TComObjectFactory* MakeFactory(TComObjectFactory::TCreator creator, REFCLSID clsid = kClassA,
                                   TClassInstancing instancing = ciMultiInstance) {
        return TComObjectFactory::Create(server, std::move(creator), clsid, "TestClass",
                                         "Test class", instancing, tmApartment);
    }
    TComServer server;
};

TEST_F(FactoryTest, CreatesANewObjectPerCallAndCountsTheLiveOnes) {
    int made = 0;
    TComObjectFactory* f = MakeFactory([&] {
        ++made;
        return new TFoo(nullptr, made);
    });
    ComPtr<IFoo> a, b;
    ASSERT_EQ(f->CreateInstance(nullptr, IFoo::kIID, a.ReleaseAndGetVoidAddress()), S_OK);
    ASSERT_EQ(f->CreateInstance(nullptr, IFoo::kIID, b.ReleaseAndGetVoidAddress()), S_OK);
    EXPECT_NE(a.Get(), b.Get());
    EXPECT_EQ(a->Value(), 1);
    EXPECT_EQ(b->Value(), 2);
    EXPECT_EQ(server.ObjectCount(), 2);
    a.Reset();
    EXPECT_EQ(server.ObjectCount(), 1);
    b.Reset();
    EXPECT_EQ(server.ObjectCount(), 0);
    // Objects made directly are not the server's.
    ComPtr<TFoo> direct(new TFoo);
    EXPECT_EQ(server.ObjectCount(), 0);
}

TEST_F(FactoryTest, FailedCreationsLeaveNothingBehind) {
    bool freed = false;
    TComObjectFactory* f = MakeFactory([&] { return new TFoo(&freed); });
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(f->CreateInstance(nullptr, test::IID_IBar, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_TRUE(freed);
    EXPECT_EQ(server.ObjectCount(), 0);

    ComPtr<TFoo> outer(new TFoo);
    EXPECT_EQ(f->CreateInstance(outer->Unknown(), IFoo::kIID, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(f->CreateInstance(nullptr, IFoo::kIID, nullptr), E_POINTER);

    TComObjectFactory* throwing =
        MakeFactory([]() -> TComObject* { throw std::runtime_error("no"); }, kClassB);
    EXPECT_EQ(throwing->CreateInstance(nullptr, IFoo::kIID, &p), E_UNEXPECTED);
    EXPECT_EQ(p, nullptr);
}

TEST_F(FactoryTest, LockServerKeepsTheServerCounted) {
    TComObjectFactory* f = MakeFactory([] { return new TFoo; });
    EXPECT_EQ(f->LockServer(TRUE), S_OK);
    EXPECT_EQ(server.ObjectCount(), 1);
    EXPECT_EQ(f->LockServer(FALSE), S_OK);
    EXPECT_EQ(f->LockServer(FALSE), S_OK);
    EXPECT_EQ(server.ObjectCount(), 0);
}

TEST_F(FactoryTest, ProgIDIsTheExecutableNameWithoutExtensionAndTheClassName) {
    TComObjectFactory* f = MakeFactory([] { return new TFoo; });
    server.SetServerFileName("/opt/kiva/kivabook-viewer");
    EXPECT_EQ(f->ProgID(), "kivabook-viewer.TestClass");
    server.SetServerFileName("/opt/kiva.d/viewer.bin");
    EXPECT_EQ(f->ProgID(), "viewer.TestClass");
}

TEST_F(FactoryTest, ClassTableFindsRevokesAndReportsMissingClasses) {
    TComObjectFactory* f = MakeFactory([] { return new TFoo; });
    ComPtr<IClassFactory> cf;
    EXPECT_EQ(CoGetClassObject(kClassA, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               cf.ReleaseAndGetVoidAddress()),
              REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(cf);

    ASSERT_EQ(f->RegisterClassObject(), S_OK);
    EXPECT_NE(f->RegisterCookie(), 0u);
    ASSERT_EQ(CoGetClassObject(kClassA, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr,
                               IID_IClassFactory, cf.ReleaseAndGetVoidAddress()),
              S_OK);
    EXPECT_EQ(cf.Get(), static_cast<IClassFactory*>(f));
    // Registered for local-server use only: an in-process request finds no class object.
    EXPECT_EQ(CoGetClassObject(kClassA, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               cf.ReleaseAndGetVoidAddress()),
              CLASS_E_CLASSNOTAVAILABLE);

    ComPtr<IFoo> foo;
    EXPECT_EQ(CoCreateInstance(kClassA, nullptr, CLSCTX_LOCAL_SERVER, IFoo::kIID,
                               foo.ReleaseAndGetVoidAddress()),
              S_OK);
    EXPECT_EQ(foo->Value(), 7);
    EXPECT_EQ(
        CoCreateInstance(kClassB, nullptr, CLSCTX_ALL, IFoo::kIID, foo.ReleaseAndGetVoidAddress()),
        REGDB_E_CLASSNOTREG);

    const DWORD cookie = f->RegisterCookie();
    f->RevokeClassObject();
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
    EXPECT_EQ(CoGetClassObject(kClassA, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               cf.ReleaseAndGetVoidAddress()),
              REGDB_E_CLASSNOTREG);
}

TEST(ClassTable, HonoursSingleUseSuspensionAndTheNewestRegistration) {
    ComPtr<TFoo> first(new TFoo), second(new TFoo);
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(CoRegisterClassObject(kClassB, first->Unknown(), CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &c1),
              S_OK);
    EXPECT_EQ(first->RefCount(), 2u); // the table holds one reference
    ComPtr<IUnknown> got;
    ASSERT_EQ(CoGetClassObject(kClassB, CLSCTX_INPROC_SERVER, nullptr, IID_IUnknown,
                               got.ReleaseAndGetVoidAddress()),
              S_OK);
    EXPECT_EQ(got.Get(), first->Unknown());

    // A suspended registration is invisible until resumed; then, as the newest, it wins once.
    ASSERT_EQ(CoRegisterClassObject(kClassB, second->Unknown(), CLSCTX_INPROC_SERVER,
                                    REGCLS_SINGLEUSE | REGCLS_SUSPENDED, &c2),
              S_OK);
    ASSERT_EQ(CoGetClassObject(kClassB, CLSCTX_INPROC_SERVER, nullptr, IID_IUnknown,
                               got.ReleaseAndGetVoidAddress()),
              S_OK);
    EXPECT_EQ(got.Get(), first->Unknown());
    CoResumeClassObjects();
    ASSERT_EQ(CoGetClassObject(kClassB, CLSCTX_INPROC_SERVER, nullptr, IID_IUnknown,
                               got.ReleaseAndGetVoidAddress()),
              S_OK);
    EXPECT_EQ(got.Get(), second->Unknown());
    ASSERT_EQ(CoGetClassObject(kClassB, CLSCTX_INPROC_SERVER, nullptr, IID_IUnknown,
                               got.ReleaseAndGetVoidAddress()),
              S_OK);
    EXPECT_EQ(got.Get(), first->Unknown());
    got.Reset();

    EXPECT_EQ(CoRevokeClassObject(c2), S_OK);
    EXPECT_EQ(CoRevokeClassObject(c1), S_OK);
    EXPECT_EQ(first->RefCount(), 1u);
    EXPECT_EQ(CoRegisterClassObject(kClassB, nullptr, CLSCTX_INPROC_SERVER, 0, &c1), E_INVALIDARG);
}

TEST(OleApartment, InitialisationsPairWithUninitialisations) {
    EXPECT_FALSE(OleInitialized());
    EXPECT_EQ(OleInitialize(nullptr), S_OK);
    EXPECT_EQ(OleInitialize(nullptr), S_FALSE);
    OleUninitialize();
    EXPECT_TRUE(OleInitialized());
    OleUninitialize();
    EXPECT_FALSE(OleInitialized());
    OleUninitialize();
    EXPECT_EQ(OleInitialize(nullptr), S_OK);
    OleUninitialize();
}

} // namespace
} // namespace kiva
