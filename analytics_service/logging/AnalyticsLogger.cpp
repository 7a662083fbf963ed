#include "logging/AnalyticsLogger.h"

#include "registry/CAUtils.h"

#include "ETWLogging/LogFront.h"
#include "Lumetra/CommonReplacements.h"
#include "Lumetra/ObfuscatedRegKey.h"

#include <shlwapi.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <utility>

namespace Taliro {
namespace Analytics {

namespace {

const wchar_t kSource[] = L"AnalyticsLogger";

std::mutex& InstanceLock()
{
    static std::mutex lock;
    return lock;
}

std::shared_ptr<CAnalyticsLoggerHelper>& InstanceSlot()
{
    static std::shared_ptr<CAnalyticsLoggerHelper> instance;
    return instance;
}

} // namespace

// ---------------------------------------------------------------------------------------------

CAnalyticsLogFile::CAnalyticsLogFile(const std::wstring& path)
{
    // Append without write access: every write lands at the current end of the file. Read access
    // only because byte-range locks need it.
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        m_file.reset(file);
    m_good = IsOpen();
}

bool CAnalyticsLogFile::WriteLine(const std::wstring& text)
{
    std::string bytes;
    bytes.reserve(text.size() + 2);
    for (wchar_t c : text) {
        if (c < 256)
            bytes.push_back(static_cast<char>(c));
    }
    bytes += "\r\n";
    if (!m_good)
        return false;
    OVERLAPPED lockRange = {};
    lockRange.Offset = 0xFFFFFFF0u;
    lockRange.OffsetHigh = 0x7FFFFFFFu;
    // Where locks are not supported the write still goes out: a Windows append needs none.
    const bool locked = LockFileEx(m_file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockRange) != FALSE;
    DWORD written = 0;
    if (!WriteFile(m_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        m_good = false;
    if (locked)
        UnlockFileEx(m_file.get(), 0, 1, 0, &lockRange);
    return m_good;
}

bool CAnalyticsLogFile::Close()
{
    if (m_file && !CloseHandle(m_file.release()))
        m_good = false;
    return m_good;
}

// ---------------------------------------------------------------------------------------------

CAnalyticsLoggerHelper::CAnalyticsLoggerHelper(std::wstring folder) : m_folder(std::move(folder)) {}

CAnalyticsLoggerHelper::~CAnalyticsLoggerHelper() = default;

std::shared_ptr<CAnalyticsLoggerHelper> CAnalyticsLoggerHelper::GetInstance()
{
    std::lock_guard<std::mutex> lock(InstanceLock());
    if (!InstanceSlot())
        InstanceSlot() = std::make_shared<CAnalyticsLoggerHelper>();
    return InstanceSlot();
}

std::shared_ptr<CAnalyticsLoggerHelper> CAnalyticsLoggerHelper::SetInstance(
    std::shared_ptr<CAnalyticsLoggerHelper> instance)
{
    std::lock_guard<std::mutex> lock(InstanceLock());
    std::swap(InstanceSlot(), instance);
    return instance;
}

bool CAnalyticsLoggerHelper::IsLegacyAutomationLogEnabled()
{
    static const wchar_t kKeyPath[] = L"Software\\Orvane\\OvTelvana";
    HKEY root = HKEY_LOCAL_MACHINE;
    std::wstring path = kKeyPath;
    ResolveRegistryLocation(root, path);
    // Only read here, so read access is all that is asked for.
    Lumetra::CObfuscatedRegKey key;
    if (key.Open(root, path.c_str(), KEY_READ) != ERROR_SUCCESS) {
        if (ETWLogging::IsLogLevelEnabled(2))
            ETWLogging::Log(2, kSource, L"Taliro::Analytics::CAnalyticsLoggerHelper::IsLegacyAutomationLogEnabled",
                            __LINE__, L"Unable to open regKey %s", kKeyPath);
        return false;
    }
    DWORD value = 0;
    return key.QueryDWORDValue(L"enableLegacyAutomationLogs", value) == ERROR_SUCCESS && value == 1;
}

std::shared_ptr<CAnalyticsLogFile> CAnalyticsLoggerHelper::GetStream(LogType type)
{
    if (!IsLegacyAutomationLogEnabled())
        return nullptr;
    if (ETWLogging::IsLogLevelEnabled(3))
        ETWLogging::Log(3, kSource, L"Taliro::Analytics::CAnalyticsLoggerHelper::GetStream", __LINE__,
                        L"LegacyAutomationLogging is enabled");

    // The expander answers true even when a placeholder stays unexpanded; its counts tell.
    std::wstring folder = m_folder;
    Lumetra::CommonReplacements replacements;
    const bool replaced = replacements.Replace(folder);
    const auto statistics = replacements.GetStatistics();
    if (!replaced || statistics.first != statistics.second) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, L"Taliro::Analytics::CAnalyticsLoggerHelper::GetStream", __LINE__,
                            L"Couldn't resolve place holder for: %s", m_folder.c_str());
        return nullptr;
    }
    if (!PathFileExistsW(folder.c_str())) {
        const BOOL created = CreateDirectoryW(folder.c_str(), nullptr);
        if (ETWLogging::IsLogLevelEnabled(3))
            ETWLogging::Log(3, kSource, L"Taliro::Analytics::CAnalyticsLoggerHelper::GetStream", __LINE__,
                            L"CreateDirectory for %s, result: %d", folder.c_str(), created);
    }
    const wchar_t* fileName = nullptr;
    switch (type) {
    case TransportsLog: fileName = L"TransportsLog.txt"; break;
    case RawTrackLog: fileName = L"RawTrackLog.txt"; break;
    case ErrorLog: fileName = L"ErrorLog.txt"; break;
    default:
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, L"Taliro::Analytics::CAnalyticsLoggerHelper::GetStream", __LINE__,
                            L"Unknown LogType: %d", static_cast<int>(type));
        return nullptr;
    }
    return std::make_shared<CAnalyticsLogFile>(folder + L"\\" + fileName);
}

std::wstring CAnalyticsLoggerHelper::FormatRecord(const std::wstring& uniqueId, const std::wstring& data,
                                                  LogType type, const std::vector<std::wstring>& transports,
                                                  RecordStatus status, const std::wstring& error)
{
    const std::wstring text = data.empty() ? std::wstring(L"{}") : data;
    switch (type) {
    case TransportsLog: return FormatTransportsRecord(uniqueId, text, transports, status);
    case RawTrackLog: return FormatRawTrackRecord(uniqueId, text);
    case ErrorLog: return FormatErrorRecord(uniqueId, text, error);
    default: return L"{\"error\": \"unspecified log\"}";
    }
}

std::wstring CAnalyticsLoggerHelper::FormatRawTrackRecord(const std::wstring& uniqueId, const std::wstring& data)
{
    WDocument document;
    ResetDocument(document);
    AddTextMember(document, L"uniqueId", uniqueId);
    AddTextMember(document, L"timeStamp", FormatUtcTimestamp());
    AddTextMember(document, L"data", data);
    return DocumentToText(document);
}

std::wstring CAnalyticsLoggerHelper::FormatTransportsRecord(const std::wstring& uniqueId, const std::wstring& data,
                                                            const std::vector<std::wstring>& transports,
                                                            RecordStatus status)
{
    WDocument document;
    ResetDocument(document);
    AddTextMember(document, L"uniqueId", uniqueId);
    AddListMember(document, L"transports", transports);
    AddTextMember(document, L"status", TranslateRecordStatus(status));
    AddTextMember(document, L"timeStamp", FormatUtcTimestamp());
    AddTextMember(document, L"data", data);
    return DocumentToText(document);
}

std::wstring CAnalyticsLoggerHelper::FormatErrorRecord(const std::wstring& uniqueId, const std::wstring& data,
                                                       const std::wstring& error)
{
    WDocument document;
    ResetDocument(document);
    AddTextMember(document, L"uniqueId", uniqueId);
    AddTextMember(document, L"error", error);
    AddTextMember(document, L"timeStamp", FormatUtcTimestamp());
    AddTextMember(document, L"data", data);
    return DocumentToText(document);
}

void CAnalyticsLoggerHelper::AddMapMember(WDocument& document, const std::wstring& name, const KeyValueMap& map)
{
    if (!document.IsObject())
        ResetDocument(document);
    auto& allocator = document.GetAllocator();
    WValue object(rapidjson::kObjectType);
    for (const auto& pair : map)
        object.AddMember(WValue(KeepSingleByteCharacters(pair.first), allocator),
                         WValue(KeepSingleByteCharacters(pair.second), allocator), allocator);
    document.AddMember(WValue(KeepSingleByteCharacters(name), allocator), object, allocator);
}

void CAnalyticsLoggerHelper::AddTextMember(WDocument& document, const std::wstring& name, const std::wstring& text)
{
    if (!document.IsObject())
        ResetDocument(document);
    auto& allocator = document.GetAllocator();
    document.AddMember(WValue(KeepSingleByteCharacters(name), allocator),
                       WValue(KeepSingleByteCharacters(text), allocator), allocator);
}

void CAnalyticsLoggerHelper::AddListMember(WDocument& document, const std::wstring& name,
                                           const std::vector<std::wstring>& list)
{
    if (!document.IsObject())
        ResetDocument(document);
    auto& allocator = document.GetAllocator();
    WValue array(rapidjson::kArrayType);
    for (const std::wstring& text : list)
        array.PushBack(WValue(KeepSingleByteCharacters(text), allocator), allocator);
    document.AddMember(WValue(KeepSingleByteCharacters(name), allocator), array, allocator);
}

void CAnalyticsLoggerHelper::ResetDocument(WDocument& document)
{
    document.SetObject();
}

std::wstring CAnalyticsLoggerHelper::KeepSingleByteCharacters(const std::wstring& text)
{
    std::wstring kept;
    kept.reserve(text.size());
    for (wchar_t c : text) {
        if (c < 256)
            kept.push_back(c);
    }
    return kept;
}

std::wstring CAnalyticsLoggerHelper::DocumentToText(const WDocument& document)
{
    rapidjson::GenericStringBuffer<rapidjson::UTF16<>> buffer;
    rapidjson::Writer<rapidjson::GenericStringBuffer<rapidjson::UTF16<>>, rapidjson::UTF16<>, rapidjson::UTF16<>>
        writer(buffer);
    document.Accept(writer);
    return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
}

std::wstring CAnalyticsLoggerHelper::TranslateRecordStatus(RecordStatus status)
{
    switch (status) {
    case Fail: return L"Fail";
    case Success: return L"Success";
    case Unprocessed: return L"Unprocessed";
    default:
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, L"Taliro::Analytics::CAnalyticsLoggerHelper::TranslateRecordStatus",
                            __LINE__, L"Unknown record status: %d", static_cast<int>(status));
        return L"Error";
    }
}

// ---------------------------------------------------------------------------------------------

CAnalyticsLogger::CAnalyticsLogger(std::shared_ptr<CAnalyticsLogFile> stream) : m_stream(std::move(stream)) {}

void CAnalyticsLogger::LogRecord(LogType type, const std::wstring& uniqueId,
                                 const std::vector<std::wstring>& transports, RecordStatus status,
                                 const std::wstring& data, const std::wstring& error)
{
    try {
        const std::shared_ptr<CAnalyticsLoggerHelper> helper = CAnalyticsLoggerHelper::GetInstance();
        std::shared_ptr<CAnalyticsLogFile> stream = helper->GetStream(type);
        if (!stream)
            return;
        const std::wstring record = helper->FormatRecord(uniqueId, data, type, transports, status, error);
        CAnalyticsLogger(std::move(stream)).Log(record);
    } catch (...) {
        // A record that cannot be made is lost; the send it records is not disturbed.
    }
}

void CAnalyticsLogger::Log(const std::wstring& text)
{
    if (!m_stream) {
        if (ETWLogging::IsLogLevelEnabled(3))
            ETWLogging::Log(3, kSource, L"Taliro::Analytics::CAnalyticsLogger::Log", __LINE__,
                            L"logStream is null. Not going to log");
        return;
    }
    if (!m_stream->IsOpen()) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, L"Taliro::Analytics::CAnalyticsLogger::Log", __LINE__,
                            L"LogStream is not open");
        return;
    }
    if (!m_stream->Good()) {
        if (ETWLogging::IsLogLevelEnabled(4))
            ETWLogging::Log(4, kSource, L"Taliro::Analytics::CAnalyticsLogger::Log", __LINE__,
                            L"LogStream is not good");
        return;
    }
    if (!m_stream->WriteLine(text) && ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, kSource, L"Taliro::Analytics::CAnalyticsLogger::Log", __LINE__,
                        L"LogStream write failed. Error code: %lu", GetLastError());
    m_stream->Close();
}

// ---------------------------------------------------------------------------------------------

std::wstring FormatUtcTimestamp()
{
    // Whole seconds from the clock's own period: the period differs between runtimes.
    const __time64_t seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    struct tm utc = {};
    if (_gmtime64_s(&utc, &seconds) != 0)
        return std::wstring();
    // msvcrt's wcsftime writes nothing for "%T".
    wchar_t buffer[50] = {};
    const size_t length = wcsftime(buffer, 50, L"%Y-%m-%d %H:%M:%SZ", &utc);
    return std::wstring(buffer, length);
}

} // namespace Analytics
} // namespace Taliro
