#include "Lumetra/TrustedList.h"

#include "Lumetra/FileHold.h"

#include <fcntl.h>
#include <fdi.h>
#include <io.h>
#include <share.h>
#include <shlwapi.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace Lumetra {

namespace {

using FdiCreateFunction = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int,
                                             PERF);
using FdiCopyFunction = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
using FdiDestroyFunction = BOOL(DIAMONDAPI*)(HFDI);

constexpr USHORT kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE;

struct ExtractContext {
    DWORD extracted = 0;
    char filePath[MAX_PATH] = {};
    // The empty file that reserved the unique name; removed with the extracted file.
    char reservedPath[MAX_PATH] = {};
    INT_PTR descriptor = -1;
};

FNALLOC(CabinetAlloc)
{
    return malloc(cb);
}

FNFREE(CabinetFree)
{
    free(pv);
}

FNOPEN(CabinetOpen)
{
    return _sopen(pszFile, oflag, _SH_DENYNO, pmode);
}

FNREAD(CabinetRead)
{
    return static_cast<UINT>(_read(static_cast<int>(hf), pv, cb));
}

FNWRITE(CabinetWrite)
{
    return static_cast<UINT>(_write(static_cast<int>(hf), pv, cb));
}

// The extraction running on this thread: the platform may close the target itself when it gives
// up, and the descriptor must then not be closed a second time (its number may be anyone's by now).
thread_local ExtractContext* t_extracting = nullptr;

FNCLOSE(CabinetClose)
{
    if (t_extracting != nullptr && t_extracting->descriptor == hf)
        t_extracting->descriptor = -1;
    return _close(static_cast<int>(hf));
}

FNSEEK(CabinetSeek)
{
    return _lseek(static_cast<int>(hf), dist, seektype);
}

INT_PTR OpenTrustedListTarget(ExtractContext& context)
{
    // Only the first entry of that name is taken.
    if (context.filePath[0] != '\0')
        return 0;
    char folder[MAX_PATH] = {};
    const DWORD length = GetTempPathA(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH)
        return -1;
    char name[MAX_PATH] = {};
    if (GetTempFileNameA(folder, "trustedjs", 0, name) == 0)
        return -1;
    strcpy(context.reservedPath, name);
    PathRemoveExtensionA(name);
    if (!PathAddExtensionA(name, ".js"))
        return -1;
    strcpy(context.filePath, name);
    const int descriptor =
        _sopen(name, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    context.descriptor = descriptor;
    return descriptor;
}

FNFDINOTIFY(CabinetNotify)
{
    auto* context = static_cast<ExtractContext*>(pfdin->pv);
    switch (fdint) {
    case fdintCOPY_FILE:
        if (pfdin->psz1 != nullptr && _stricmp(pfdin->psz1, "trusted.js") == 0)
            return OpenTrustedListTarget(*context);
        return 0;
    case fdintCLOSE_FILE_INFO: {
        context->extracted = _close(static_cast<int>(pfdin->hf)) == 0 ? 1 : 0;
        context->descriptor = -1;
        const DWORD attributes = pfdin->attribs & kKeptAttributes;
        SetFileAttributesA(context->filePath, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
        return TRUE;
    }
    default:
        return 0;
    }
}

} // namespace

CCabinet::CCabinet()
{
    m_library = LoadLibraryW(L"Cabinet.dll");
    if (m_library == nullptr)
        return;
    m_create = GetProcAddress(m_library, "FDICreate");
    m_copy = GetProcAddress(m_library, "FDICopy");
    m_destroy = GetProcAddress(m_library, "FDIDestroy");
}

CCabinet::~CCabinet()
{
    if (m_library != nullptr)
        FreeLibrary(m_library);
}

bool CCabinet::IsUsable() const
{
    return m_library != nullptr && m_create != nullptr && m_copy != nullptr && m_destroy != nullptr;
}

bool CCabinet::ExtractTrustedList(const wchar_t* cabinetPath)
{
    if (!IsUsable() || cabinetPath == nullptr || cabinetPath[0] == L'\0')
        return false;
    char path[MAX_PATH] = {};
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, cabinetPath, -1, path, MAX_PATH, nullptr, nullptr) == 0)
        return false;
    char cabinetName[MAX_PATH] = {};
    strncpy(cabinetName, PathFindFileNameA(path), MAX_PATH - 1);
    char cabinetFolder[MAX_PATH + 1] = {};
    strcpy(cabinetFolder, path);
    PathRemoveFileSpecA(cabinetFolder);
    // A bare file name lies in the current folder, not at the drive's root.
    const size_t folderLength = strlen(cabinetFolder);
    if (folderLength != 0 && cabinetFolder[folderLength - 1] != '\\')
        strcat(cabinetFolder, "\\");

    auto create = reinterpret_cast<FdiCreateFunction>(reinterpret_cast<void*>(m_create));
    auto copy = reinterpret_cast<FdiCopyFunction>(reinterpret_cast<void*>(m_copy));
    auto destroy = reinterpret_cast<FdiDestroyFunction>(reinterpret_cast<void*>(m_destroy));

    ERF error = {};
    HFDI fdi = create(&CabinetAlloc, &CabinetFree, &CabinetOpen, &CabinetRead, &CabinetWrite, &CabinetClose,
                      &CabinetSeek, cpuUNKNOWN, &error);
    if (fdi == nullptr)
        return false;
    ExtractContext context;
    t_extracting = &context;
    const bool copied = copy(fdi, cabinetName, cabinetFolder, 0, &CabinetNotify, nullptr, &context) != FALSE;
    destroy(fdi);
    t_extracting = nullptr;
    // A damaged cabinet may stop the copy with the target still open: that file is incomplete.
    if (context.descriptor != -1)
        _close(static_cast<int>(context.descriptor));
    if (!copied)
        context.extracted = 0;

    bool installed = false;
    if (context.filePath[0] != '\0' && PathFileExistsA(context.filePath)) {
        if (context.extracted != 0) {
            wchar_t widePath[MAX_PATH] = {};
            // Nobody may change the extracted list between its checks and its copy into place.
            CFileHold pinned;
            if (MultiByteToWideChar(CP_THREAD_ACP, 0, context.filePath, -1, widePath, MAX_PATH) != 0 &&
                pinned.Hold(widePath) == ERROR_SUCCESS)
                installed = UpdateTrustedListFromFile(widePath);
        }
        SetFileAttributesA(context.filePath, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(context.filePath);
    }
    if (context.reservedPath[0] != '\0')
        DeleteFileA(context.reservedPath);
    return installed;
}

} // namespace Lumetra
