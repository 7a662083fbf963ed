// The class object and the COM object in this process: what the factory answers, and that the
// checked road judges an in-process caller by the module of its return address.
#include <windows.h>
#include <ole2.h>
#include <initguid.h>

#include "OvTelvana.h"
#include "SecureClassFactory.h"

#include "service/CAEventProcessor.h"

#include "Platform/ServiceModule.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

namespace {

const bool g_capture = (LogCapture::InstallBeforeFirstLog(), true);
using Factory = Taliro::hack::craptastic::CSecureClassFactory<COvSecureClassFactory>;
using Platform::ComPtr;

class LockCountingModule : public Platform::ServiceModule {
public:
    LockCountingModule() : ServiceModule(0, GUID_NULL, 0) {}
};

TEST(SecureClassFactory, AnswersItsInterfacesAndCreatesOnlyPlainObjects)
{
    LockCountingModule module;
    const Platform::CreatorFn creator = &Platform::ObjectCreator<COvTelvana>::CreateInstance;
    EXPECT_EQ(E_POINTER, Factory::CreateFactory(creator, IID_IUnknown, nullptr));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, Factory::CreateFactory(creator, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    EXPECT_EQ(0, module.GetLockCount()) << "the class object holds no server lock";

    ComPtr<IOvClassFactory> checked;
    EXPECT_EQ(S_OK, factory->QueryInterface(IID_IOvClassFactory, reinterpret_cast<void**>(&checked)));
    ComPtr<IUnknown> other;
    EXPECT_EQ(E_NOINTERFACE,
              factory->QueryInterface(IID_IOvClassFactory_PreComponentization, reinterpret_cast<void**>(&other)));
    EXPECT_FALSE(other.Get());

    // An outer unknown is ignored: the object is plain and answers for itself.
    ComPtr<IUnknown> outer;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&outer)));
    ComPtr<IOvTelvana> object;
    ASSERT_EQ(S_OK, factory->CreateInstance(outer.Get(), IID_IOvTelvana, reinterpret_cast<void**>(&object)));
    EXPECT_EQ(2, module.GetLockCount()) << "each live object locks the server";
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IOvTelvana, nullptr));

    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(3, module.GetLockCount());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));

    // Called from this unsigned test program: the return address lies in an untrusted module.
    ComPtr<IUnknown> refused;
    EXPECT_EQ(E_ACCESSDENIED, checked->CreateInstance(IID_IOvTelvana, &refused));
    EXPECT_FALSE(refused.Get());

    // The object: empty events are refused with the plain value 13 and queue nothing.
    CAEventProcessor& processor = CAEventProcessor::GetInstance();
    Platform::Bstr empty(L"");
    EXPECT_EQ(13, object->ReportEventData(nullptr, nullptr, nullptr));
    EXPECT_EQ(13, object->ReportEventData(nullptr, empty.Get(), nullptr));
    Platform::Bstr leadingNul(std::wstring(L"\0{}", 3));
    EXPECT_EQ(13, object->ReportEventData(nullptr, leadingNul.Get(), nullptr));
    EXPECT_EQ(0u, processor.unsafe_size());
    EXPECT_EQ(3u, LogCapture::Count(L"Report EventData supplied is empty", 4, L"OvTelvana"));
    Platform::Bstr text(L"{\"UniqueId\":\"x\"}");
    EXPECT_EQ(S_OK, object->ReportEventData(nullptr, text.Get(), nullptr));
    EXPECT_EQ(1u, processor.unsafe_size());
    EXPECT_EQ(E_NOTIMPL, object->ReportLogData(nullptr, nullptr, nullptr, nullptr, nullptr));
    processor.ShutDown();
    object.Reset();
    outer.Reset();
    EXPECT_EQ(0, module.GetLockCount()) << "the queued event's lock went with the shut-down worker";
}

} // namespace
