#include "ETWLogging/FileLogger.h"
#include "Lumetra/WideFormat.h"

#include "ETWLogging/LogFront.h"
#include "ETWLogging/ProductIds.h"

#include "Lumetra/ObfuscatedIniReader.h"
#include "Lumetra/PathUtils.h"

#include <shlobj.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <new>

namespace ETWLogging {

namespace {

constexpr const wchar_t* kLogRootTail = L"\\Orvane\\OVLOGS\\";
constexpr const wchar_t* kIniName = L"log.ini";
constexpr const wchar_t* kSection = L"Config";
constexpr const wchar_t* kLastLogIndexKey = L"LastLogIdx";
constexpr size_t kFormatBufferChars = 4160;
constexpr size_t kModuleFieldChars = 15;
constexpr size_t kSourceFieldChars = 20;
constexpr size_t kFunctionFieldChars = 40;
constexpr DWORD kLongestPath = MAX_PATH;

// Windows-family wide printf (%s is a wide string) into a string of the exact length.
std::wstring FormatText(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text;
    Lumetra::FormatWideV(text, format, args);
    va_end(args);
    return text;
}

// At most the first `width` characters, right-aligned in a field of `width`.
std::wstring Fit(const wchar_t* text, size_t width)
{
    std::wstring kept(text, wcsnlen(text, width));
    return std::wstring(width - kept.size(), L' ') + kept;
}

// Appending only, without FILE_WRITE_DATA: every write lands at the end of the file as it is
// then, so a writer that went on after a timed-out wait, or one of another session, cannot
// overwrite a line that another has just appended.
constexpr DWORD kAppendAccess = GENERIC_READ | FILE_APPEND_DATA;

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct SettingRule {
    const wchar_t* name;
    DWORD defaultValue;
    bool ranged;
    DWORD lowest;
    DWORD highest;
};

constexpr SettingRule kSettings[] = {
    {L"Enable", 1, false, 0, 0},
    {L"MaxSize", CLogging::kDefaultMaxSize, true, CLogging::kDefaultMaxSize, CLogging::kLargestMaxSize},
    {L"MaxEntries", CLogging::kDefaultMaxEntries, true, CLogging::kFewestEntries, CLogging::kMostEntries},
    {L"Severity", CLogging::kDefaultSeverity, true, 0, 6},
    {L"Options", CLogging::kDefaultOptions, false, 0, 0},
};

bool IsValid(const SettingRule& rule, DWORD value)
{
    return !rule.ranged || (value >= rule.lowest && value <= rule.highest);
}

// Holds the cross-process mutex for one call. A wait that times out lets the caller go on all
// the same; only a wait that succeeded is released.
class MutexWait {
public:
    explicit MutexWait(HANDLE mutex) : m_mutex(mutex)
    {
        if (!m_mutex) return;
        DWORD wait = WaitForSingleObject(m_mutex, CLogging::kMutexWaitMs);
        m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ~MutexWait()
    {
        if (m_owned) ReleaseMutex(m_mutex);
    }
    MutexWait(const MutexWait&) = delete;
    MutexWait& operator=(const MutexWait&) = delete;

private:
    HANDLE m_mutex;
    bool m_owned = false;
};

} // namespace

CLogging::CLogging() noexcept = default;

CLogging::~CLogging()
{
    ClearState();
    if (HANDLE mutex = m_mutex.exchange(nullptr)) CloseHandle(mutex);
    CloseFile();
}

void CLogging::CloseFile()
{
    if (m_file) {
        CloseHandle(m_file);
        m_file = nullptr;
    }
}

void CLogging::ClearState()
{
    m_open = false;
    m_hasAppName = false;
    m_appName.clear();
    m_baseName.clear();
    m_moduleFileName.clear();
    m_processId = 0;
    m_hasHostName = false;
    m_hostName.clear();
    m_logFolder.clear();
    m_commonIniPath.clear();
    m_folderIniPath.clear();
    CloseFile();
    m_maxSize = kDefaultMaxSize;
    m_maxEntries = kDefaultMaxEntries;
    m_severity = kDefaultSeverity;
    m_options = kDefaultOptions;
    m_enable = 1;
    m_gate = &FolderCheckGate;
    m_rememberedIndex = RememberedIndex();
    m_heldIndex = HeldIndex();
    // The reference count is left alone: owners that hold a reference still release it.
}

DWORD CLogging::Initialize(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName,
                           LoggingConfigListenerIf* /*listener*/)
{
    MutexWait lock(m_mutex);
    std::lock_guard<std::mutex> threads(m_writeLock);
    if (m_open) return kErrorAlreadyInitialized;

    DWORD result;
    try {
        result = InitializeUnlocked(appName, instance, hostName);
    } catch (const std::bad_alloc&) {
        result = ERROR_OUTOFMEMORY;
    }
    if (result != ERROR_SUCCESS) ClearState();
    return result;
}

DWORD CLogging::InitializeUnlocked(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName)
{
    m_open = false;
    if ((appName && !*appName) || (hostName && !*hostName)) return ERROR_INVALID_PARAMETER;

    m_hasAppName = appName != nullptr;
    if (appName) m_appName = appName;

    wchar_t path[kLongestPath + 1] = {};
    if (GetModuleFileNameW(nullptr, path, kLongestPath) == 0) return GetLastError();
    std::wstring exeFile = path;
    size_t slash = exeFile.find_last_of(L'\\');
    if (slash != std::wstring::npos) exeFile.erase(0, slash + 1);
    m_baseName = exeFile.substr(0, exeFile.find_last_of(L'.'));
    if (m_baseName.empty()) return ERROR_OUTOFMEMORY;

    // The name comes from the executable's, fixed for the process: a handle made once is kept,
    // since writers hold it or wait on it through a re-initialisation, and a wait that ends on a
    // closed handle would own the mutex for good.
    if (!m_mutex) {
        std::wstring mutexName = FormatText(L"%s_%s", m_baseName.c_str(), kFileLoggerMutexId);
        HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName.c_str());
        if (!mutex) return GetLastError();
        m_mutex = mutex;
    }

    m_moduleFileName = exeFile;
    if (instance) {
        wchar_t modulePath[kLongestPath + 1] = {};
        if (GetModuleFileNameW(instance, modulePath, kLongestPath) != 0) {
            m_moduleFileName = modulePath;
            slash = m_moduleFileName.find_last_of(L'\\');
            if (slash != std::wstring::npos) m_moduleFileName.erase(0, slash + 1);
        }
    }

    m_hasHostName = hostName != nullptr;
    if (hostName) m_hostName = hostName;

    DWORD result = BuildPaths();
    if (result != ERROR_SUCCESS) return result;

    LoadSettings();

    m_processId = GetCurrentProcessId();
    m_open = true;
    return ERROR_SUCCESS;
}

DWORD CLogging::BuildPaths()
{
    if (m_baseName.empty() || (m_hasAppName && m_appName.empty())) return ERROR_INVALID_PARAMETER;
    wchar_t programData[kLongestPath + 1] = {};
    DWORD result = GetProgramDataFolder(programData, kLongestPath + 1);
    if (result != ERROR_SUCCESS) return result;

    std::wstring root = std::wstring(programData) + kLogRootTail;
    m_logFolder = m_hasAppName ? root + m_appName + L"\\" + m_baseName : root + m_baseName;
    m_commonIniPath = root + kIniName;
    m_folderIniPath = m_logFolder + L"\\" + kIniName;
    return ERROR_SUCCESS;
}

DWORD CLogging::GetProgramDataFolder(wchar_t* buffer, DWORD size)
{
    if (!buffer) return ERROR_INVALID_PARAMETER;
    PWSTR folder = nullptr;
    HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &folder);
    if (FAILED(hr) || !folder) {
        CoTaskMemFree(folder);
        return ERROR_INVALID_PARAMETER;
    }
    DWORD result = ERROR_SUCCESS;
    if (size == 0) {
        result = ERROR_INSUFFICIENT_BUFFER;
    } else {
        size_t length = wcslen(folder);
        if (length >= size) {
            length = size - 1;
            result = ERROR_INSUFFICIENT_BUFFER;
        }
        wmemcpy(buffer, folder, length);
        buffer[length] = L'\0';
    }
    CoTaskMemFree(folder);
    return result;
}

DWORD CLogging::LoadSettings()
{
    if (m_folderIniPath.empty() || m_commonIniPath.empty()) return ERROR_INVALID_PARAMETER;
    if (!FileExists(m_folderIniPath) && !FileExists(m_commonIniPath)) return ERROR_SUCCESS;

    Lumetra::CObfuscatedIniReader folderIni(true);
    Lumetra::CObfuscatedIniReader commonIni(true);
    folderIni.Load(m_folderIniPath);
    commonIni.Load(m_commonIniPath);

    for (size_t i = 0; i < sizeof kSettings / sizeof kSettings[0]; ++i) {
        const SettingRule& rule = kSettings[i];
        DWORD value = 0;
        DWORD chosen = rule.defaultValue;
        bool apply = false;
        bool askCommon = true;
        if (folderIni.GetValue(kSection, rule.name, value)) {
            if (IsValid(rule, value)) {
                chosen = value;
                apply = true;
                askCommon = false;
            } else if (!folderIni.SetDWORDValue(kSection, rule.name, rule.defaultValue)) {
                askCommon = false;
            }
        }
        if (askCommon) {
            if (!commonIni.GetValue(kSection, rule.name, value)) {
                apply = true;
            } else if (IsValid(rule, value)) {
                chosen = value;
                apply = true;
            } else {
                apply = commonIni.SetDWORDValue(kSection, rule.name, rule.defaultValue);
            }
        }
        if (!apply) continue;

        switch (i) {
        case 0: m_enable = chosen != 0 ? 1 : 0; break;
        case 1: SetMaxSize(chosen); break;
        case 2: SetMaxEntries(chosen); break;
        case 3: m_severity = chosen; break;  // stored as found: 0 lets every level through
        default: m_options = chosen; break;
        }
    }
    return ERROR_SUCCESS;
}

DWORD CLogging::BeginWrite() { return ERROR_SUCCESS; }

DWORD CLogging::Uninitialize()
{
    MutexWait lock(m_mutex);
    std::lock_guard<std::mutex> threads(m_writeLock);
    if (!m_open) return kErrorNotOpen;
    ClearState();
    return ERROR_SUCCESS;
}

DWORD CLogging::SetEnabled(bool enabled)
{
    m_enable = enabled ? 1 : 0;
    return static_cast<DWORD>(m_enable.load());
}

bool CLogging::IsEnabled() { return m_enable == 1; }

bool CLogging::IsLevelEnabled(LogLevel level) { return level >= m_severity; }

void CLogging::SetMaxEntries(DWORD count)
{
    if (count > kMostEntries) count = kMostEntries;
    if (count < kFewestEntries) count = kFewestEntries;
    m_maxEntries = count;
}

DWORD CLogging::GetMaxEntries() { return m_maxEntries; }

void CLogging::SetMaxSize(DWORD bytes)
{
    if (bytes > kLargestMaxSize) bytes = kLargestMaxSize;
    if (bytes < kDefaultMaxSize) bytes = kDefaultMaxSize;
    m_maxSize = bytes;
}

DWORD CLogging::GetMaxSize() { return m_maxSize; }

void CLogging::SetSeverity(LogLevel level)
{
    if (level == 0) level = 1;
    if (level > 6) level = 6;
    m_severity = level;
}

LogLevel CLogging::GetSeverity() { return m_severity; }

LONG CLogging::AddRef() { return InterlockedIncrement(&m_refCount); }

LONG CLogging::Release()
{
    LONG count = InterlockedDecrement(&m_refCount);
    if (count == 0) delete this;
    return count;
}

DWORD CLogging::LogLevelF(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, ...)
{
    if (m_enable == 0 || !IsLevelEnabled(level)) return ERROR_SUCCESS;
    if (!format) return ERROR_INVALID_PARAMETER;
    wchar_t buffer[kFormatBufferChars];
    buffer[0] = L'\0';
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, kFormatBufferChars - 1, format, args);
    va_end(args);
    // A text that does not fit is left unterminated by the formatter.
    buffer[kFormatBufferChars - 1] = L'\0';
    return Write(file, function, line, level, buffer);
}

void CLogging::ReadLocalTime(SYSTEMTIME& now) { GetLocalTime(&now); }

DWORD CLogging::FormatLine(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                           const wchar_t* message, std::wstring& text)
{
    text.clear();
    if (!message || !*message) return ERROR_INVALID_PARAMETER;
    const wchar_t* levelName = GetLogLevelName(level);
    if (!levelName) return ERROR_INVALID_PARAMETER;

    SYSTEMTIME now = {};
    ReadLocalTime(now);
    WORD hour = static_cast<WORD>(now.wHour % 12 == 0 ? 12 : now.wHour % 12);
    std::wstring stamp = FormatText(L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", now.wMonth, now.wDay, now.wYear,
                                    hour, now.wMinute, now.wSecond, now.wHour < 12 ? L"AM" : L"PM");
    text = FormatText(L"%s -- (%s)$", stamp.c_str(), levelName);

    if ((m_options & LogOptionModule) && !m_moduleFileName.empty())
        text += L" [" + Fit(m_moduleFileName.c_str(), kModuleFieldChars) + L"]$";
    if (m_options & LogOptionProcessThread)
        text += L" " + FormatText(L"[PID:%5d TID:%5d]$", static_cast<int>(m_processId),
                                  static_cast<int>(GetCurrentThreadId()));
    if ((m_options & LogOptionSourceLine) && file && *file) {
        const wchar_t* name = wcsrchr(file, L'\\');
        name = name ? name + 1 : file;
        text += L" " + FormatText(L"[%s:%5d]$", Fit(name, kSourceFieldChars).c_str(), line);
    }
    if ((m_options & LogOptionFunction) && function && *function)
        text += L" [" + Fit(function, kFunctionFieldChars) + L"()]$";

    text += L' ';
    text += message;
    if (text.back() != L'\n') text += L"\r\n";
    return ERROR_SUCCESS;
}

std::wstring CLogging::LogFilePath(DWORD index) const
{
    std::wstring path = m_logFolder + L"\\" + m_baseName;
    if (m_hasHostName) path += L"_" + m_hostName;
    return path + FormatText(L"%0.3u%s", index, L".log");
}

DWORD CLogging::OpenLogFile(const std::wstring& path, DWORD access, DWORD disposition)
{
    // Shared for reading and writing: the other writers hold the same files open meanwhile.
    HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    m_file = file;
    return ERROR_SUCCESS;
}

DWORD CLogging::CreateLogFile(DWORD index)
{
    const std::wstring path = LogFilePath(index);
    DWORD result = OpenLogFile(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    // A log folder removed while the process runs is made again, once.
    if (result == ERROR_PATH_NOT_FOUND && Lumetra::CreateDirectoryPath(m_logFolder.c_str(), nullptr))
        result = OpenLogFile(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    if (result != ERROR_SUCCESS) return result;
    static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
    DWORD written = 0;
    if (!WriteFile(m_file, kByteOrderMark, sizeof kByteOrderMark, &written, nullptr)) result = GetLastError();
    // The handle that truncates may write anywhere; lines go through one that only appends.
    CloseFile();
    if (result != ERROR_SUCCESS) return result;
    return OpenLogFile(path, kAppendAccess, OPEN_EXISTING);
}

void CLogging::StoreLastLogIndex(DWORD index)
{
    Lumetra::CObfuscatedIniReader ini(true);
    ini.Load(m_folderIniPath);
    // A failure is not told through this logger: the line would come straight back here.
    m_heldIndex.valid = !ini.SetDWORDValue(kSection, kLastLogIndexKey, index);
    m_heldIndex.index = index;
}

namespace {

ULONGLONG Ticks(const FILETIME& time) { return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

bool SameFile(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b)
{
    return a.nFileSizeLow == b.nFileSizeLow && a.nFileSizeHigh == b.nFileSizeHigh &&
           Ticks(a.ftLastWriteTime) == Ticks(b.ftLastWriteTime) && Ticks(a.ftCreationTime) == Ticks(b.ftCreationTime);
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool FileData(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data)
{
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE;
}

} // namespace

DWORD CLogging::ReadLastLogIndex(bool mayRemember, bool& remembered)
{
    remembered = false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    WIN32_FILE_ATTRIBUTE_DATA before = {};
    if (!FileData(m_folderIniPath, before)) {
        m_rememberedIndex.valid = false;
        if (IsMissing(GetLastError())) return 0;
    } else if (mayRemember && m_rememberedIndex.valid && SameFile(before, m_rememberedIndex.file)) {
        remembered = true;
        return m_rememberedIndex.index;
    }

    DWORD index = 0;
    {
        Lumetra::CObfuscatedIniReader ini(true);
        DWORD stored = 0;
        if (ini.Load(m_folderIniPath) && ini.GetValue(kSection, kLastLogIndexKey, stored)) index = stored;
    }

    // Remembered only when nothing wrote the file while it was read, and its last write lies far
    // enough back that any later write carries a later time stamp.
    WIN32_FILE_ATTRIBUTE_DATA after = {};
    m_rememberedIndex.valid = FileData(m_folderIniPath, after) && SameFile(before, after) &&
                              Ticks(before.ftLastWriteTime) + m_settleTime <= Ticks(now);
    m_rememberedIndex.file = after;
    m_rememberedIndex.index = index;
    return index;
}

DWORD CLogging::RotateFrom(DWORD index, DWORD& current)
{
    // A next file written after the one left was begun by a writer that rotated already (its
    // index could not be stored, or this one read a stale index): it is the current file. Only a
    // file older than the one left, the oldest of the set, is begun anew; so is one written
    // "after" the present, before the clock was set back. An index beyond the set leaves its own
    // file when there is one.
    WIN32_FILE_ATTRIBUTE_DATA left = {};
    bool leftKnown = FileData(LogFilePath(index), left);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (DWORD step = 0;; ++step) {
        current = index + 1 >= m_maxEntries ? 0 : index + 1;
        const std::wstring path = LogFilePath(current);
        WIN32_FILE_ATTRIBUTE_DATA next = {};
        if (!leftKnown || step >= m_maxEntries || !FileData(path, next)) break;
        const bool full = next.nFileSizeLow >= m_maxSize;
        const ULONGLONG written = Ticks(next.ftLastWriteTime), leftWritten = Ticks(left.ftLastWriteTime);
        // A file begun within the clock step of the last line left carries the same time; the
        // oldest file of the set is full.
        if (written > Ticks(now) || written < leftWritten || (written == leftWritten && full)) break;
        if (!full) {
            const DWORD result = OpenLogFile(path, kAppendAccess, OPEN_EXISTING);
            if (!IsMissing(result)) return result;
            break;
        }
        index = current;
        left = next;
    }
    return CreateLogFile(current);
}

DWORD CLogging::OpenCurrentLogFile()
{
    if (m_logFolder.empty() || m_baseName.empty() || (m_hasHostName && m_hostName.empty()))
        return ERROR_INVALID_PARAMETER;
    if (m_file) return ERROR_ALREADY_EXISTS;

    enum class Found { Room, Full, Missing, Unopened } found = Found::Missing;
    DWORD openError = ERROR_SUCCESS;
    bool remembered = false;
    DWORD stored = ReadLastLogIndex(true, remembered);
    DWORD index = 0;
    for (;;) {
        // This process's own index while "log.ini" holds an older one.
        index = m_heldIndex.valid ? m_heldIndex.index : stored;
        if (index < m_maxEntries) {
            // The usual case: the current file is there and has room. Its size comes from the
            // handle that appends.
            openError = OpenLogFile(LogFilePath(index), kAppendAccess, OPEN_EXISTING);
            if (openError == ERROR_SUCCESS) {
                LARGE_INTEGER size = {};
                if (!GetFileSizeEx(m_file, &size)) {
                    DWORD error = GetLastError();
                    CloseFile();
                    return error;
                }
                if (size.LowPart < m_maxSize) {
                    found = Found::Room;
                    break;
                }
                CloseFile();
                found = Found::Full;
            } else {
                found = IsMissing(openError) ? Found::Missing : Found::Unopened;
            }
        }
        // Whatever changes the files (a new file, a rotation) is decided on the index as the file
        // holds it now: another process may have moved on since it was remembered.
        if (!remembered || m_heldIndex.valid) break;
        stored = ReadLastLogIndex(false, remembered);
    }

    DWORD current = index;
    DWORD result = ERROR_SUCCESS;
    if (found == Found::Unopened) {
        // Present but not to be opened (shared without write access, say): a full one is still
        // rotated away from, as its size is seen in the folder.
        WIN32_FIND_DATAW entry = {};
        HANDLE search = FindFirstFileW(LogFilePath(index).c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) {
            found = Found::Missing;
        } else {
            FindClose(search);
            if (entry.nFileSizeLow < m_maxSize) return openError;
            found = Found::Full;
        }
    }
    if (index >= m_maxEntries || found == Found::Full) result = RotateFrom(index, current);
    else if (found == Found::Missing) result = CreateLogFile(index);
    if (result != ERROR_SUCCESS) return result;
    // Stored again with every line while "log.ini" holds another index, so that it is right as
    // soon as the file can be written.
    if (current != stored) StoreLastLogIndex(current);
    else m_heldIndex.valid = false;
    return result;
}

bool CLogging::FolderCheckGate(CLogging* self)
{
    DWORD error = 0;
    if (!self->m_logFolder.empty() && Lumetra::CreateDirectoryPath(self->m_logFolder.c_str(), &error)) {
        self->m_gate = &OpenGate;
        return true;
    }
    self->m_enable = 0;
    self->m_severity = kSilencedSeverity;
    self->m_gate = &ClosedGate;
    return false;
}

bool CLogging::OpenGate(CLogging*) { return true; }

bool CLogging::ClosedGate(CLogging*) { return false; }

DWORD CLogging::Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level, const wchar_t* text)
{
    MutexWait lock(m_mutex);
    // A line is written even after the cross-process wait timed out; the threads of this process
    // still take turns, since they share the gate and the current file handle.
    std::lock_guard<std::mutex> threads(m_writeLock);
    // A logger that was never opened has no folder; asking the gate would silence it for good.
    if (!m_open) return kErrorNotOpen;
    DWORD result;
    try {
        result = WriteUnlocked(file, function, line, level, text);
    } catch (const std::bad_alloc&) {
        result = ERROR_OUTOFMEMORY;
    }
    CloseFile();
    return result;
}

DWORD CLogging::WriteUnlocked(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                              const wchar_t* text)
{
    if (!m_gate(this) || !text || !*text) return ERROR_INVALID_PARAMETER;

    DWORD result = OpenCurrentLogFile();
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) return result;

    std::wstring composed;
    result = FormatLine(file, function, line, level, text, composed);
    if (result != ERROR_SUCCESS) return result;

    DWORD bytes = static_cast<DWORD>(composed.size() * sizeof(wchar_t));
    DWORD written = 0;
    if (!WriteFile(m_file, composed.data(), bytes, &written, nullptr)) return GetLastError();
    if (m_options & LogOptionDebugOutput) OutputDebugStringW(composed.c_str());
    return ERROR_SUCCESS;
}

} // namespace ETWLogging
