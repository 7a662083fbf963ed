// Both Nimbo server doubles (tests/doubles/nimbo) registered for one test: fresh class ids, so
// parallel tests never share a registration or a server, answers from a scratch key, every call
// logged to a scratch file.
#pragma once
#include "transports/NimboPlugin.h"

#include "config/RapidJson.h"

#include "TestUtil.h"

#include <windows.h>

#include <string>
#include <vector>

namespace NimboTest {

using Taliro::Analytics::kJsonParseFlags;
using Taliro::Analytics::WDocument;

struct Call {
    DWORD pid;
    std::wstring method;
    std::vector<std::wstring> args;   // a null argument reads "<null>"
};

inline std::wstring Guid(const CLSID& id)
{
    wchar_t text[40] = {};
    StringFromGUID2(id, text, 40);
    return text;
}

inline void SetText(const std::wstring& key, const wchar_t* name, const std::wstring& text, HKEY root = HKEY_CURRENT_USER)
{
    RegSetKeyValueW(root, key.c_str(), name, REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// The class keys go to HKLM: Wine's COM finds no class registered under HKCU\Software\Classes.
class NimboDoubles {
public:
    static inline const HKEY kClasses = HKEY_LOCAL_MACHINE;
    explicit NimboDoubles(bool localServer)
    {
        CoCreateGuid(&settings.clientClsid);
        CoCreateGuid(&settings.cohortClsid);
        settings.queryParamsRoot = HKEY_CURRENT_USER;
        settings.queryParamsPath = m_answers.Path() + L"\\QueryParams";
        Set(L"CallLog", m_dir.File(L"calls.txt"));
        wchar_t exe[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring folder(exe, wcsrchr(exe, L'\\'));
        serverExe = folder + L"\\nimbo\\nimbo_server.exe";
        std::wstring server = localServer ? L"\"" + serverExe + L"\" " + Guid(settings.clientClsid) + L" " +
                                                Guid(settings.cohortClsid)
                                          : folder + L"\\nimbo\\nimbo_double.dll";
        for (const CLSID& id : {settings.clientClsid, settings.cohortClsid}) {
            SetText(ClassKey(id), L"Settings", m_answers.Path(), kClasses);
            SetText(ClassKey(id) + (localServer ? L"\\LocalServer32" : L"\\InprocServer32"), nullptr, server, kClasses);
            if (!localServer) SetText(ClassKey(id) + L"\\InprocServer32", L"ThreadingModel", L"Both", kClasses);
        }
    }
    ~NimboDoubles()
    {
        for (const CLSID& id : {settings.clientClsid, settings.cohortClsid})
            RegDeleteTreeW(kClasses, ClassKey(id).c_str());
    }
    void Set(const wchar_t* name, const std::wstring& text) { SetText(m_answers.Path(), name, text); }
    void Set(const wchar_t* name, HRESULT value) { m_answers.WriteRaw(name, REG_DWORD, &value, sizeof value); }
    void Remove(const wchar_t* name) { RegDeleteValueW(m_answers.Handle(), name); }
    void SetSegment(const std::wstring& id) { SetText(settings.queryParamsPath, L"cohortsegid", id); }

    std::vector<Call> TakeCalls()
    {
        std::wstring text = TestUtil::Widen(TestUtil::ReadFileBytes(m_dir.File(L"calls.txt")));
        DeleteFileW(m_dir.File(L"calls.txt").c_str());
        std::vector<Call> calls;
        for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
            WDocument line;
            line.Parse<kJsonParseFlags>(text.substr(start, end - start).c_str());
            Call call{line[L"pid"].GetUint(), line[L"method"].GetString(), {}};
            for (const auto& arg : line[L"args"].GetArray())
                call.args.push_back(arg.IsNull() ? L"<null>" : std::wstring(arg.GetString(), arg.GetStringLength()));
            calls.push_back(call);
        }
        return calls;
    }

    Taliro::NimboPluginSettings settings;
    std::wstring serverExe;

private:
    static std::wstring ClassKey(const CLSID& id) { return L"Software\\Classes\\CLSID\\" + Guid(id); }
    TestUtil::ScratchRegKey m_answers;
    TestUtil::ScratchDir m_dir;
};

} // namespace NimboTest
