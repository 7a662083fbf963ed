// Machine-wide trust state shared by the trust tests of every test process.
#pragma once
#include "Lumetra/CodeTrust.h"
#include "Lumetra/TrustedList.h"

#include "TestUtil.h"

#include <windows.h>

#include <string>

namespace {

using Lumetra::CTrustedList;
using Lumetra::ProcessTrustedList;

// The refresh installs into the machine-wide default path and raises the machine-wide signal:
// one test at a time across processes, starting without an installed list and putting back
// what was there.
class InstalledListState {
public:
    InstalledListState()
    {
        m_mutex = CreateMutexW(nullptr, FALSE, L"TelvanaTests.TrustMachineState");
        const DWORD wait = WaitForSingleObject(m_mutex, INFINITE);
        m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        m_path = CTrustedList::DefaultPath();
        m_hadList = TestUtil::FileExists(m_path);
        m_bytes = TestUtil::ReadFileBytes(m_path);
        DeleteFileW(m_path.c_str());
        m_hadAtom = GlobalFindAtomW(CTrustedList::RefreshSignalName()) != 0;
        ProcessTrustedList().Reload();
    }
    ~InstalledListState()
    {
        SetFileAttributesW(m_path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(m_path.c_str());
        if (m_hadList)
            TestUtil::WriteFileBytes(m_path, m_bytes);
        if (!m_hadAtom) {
            for (int i = 0; i < 1000; ++i) {
                const ATOM atom = GlobalFindAtomW(CTrustedList::RefreshSignalName());
                if (atom == 0)
                    break;
                GlobalDeleteAtom(atom);
            }
        }
        ProcessTrustedList().Reload();
        if (m_owned)
            ReleaseMutex(m_mutex);
        CloseHandle(m_mutex);
    }
    InstalledListState(const InstalledListState&) = delete;
    InstalledListState& operator=(const InstalledListState&) = delete;

    const std::wstring& Path() const { return m_path; }

private:
    HANDLE m_mutex = nullptr;
    bool m_owned = false;
    std::wstring m_path;
    bool m_hadList = false;
    std::string m_bytes;
    bool m_hadAtom = false;
};

} // namespace
