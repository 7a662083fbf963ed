// Optional local record of transport activity for test automation: when the enciphered switch
// "enableLegacyAutomationLogs" is 1, each record becomes one line of compact JSON appended to a
// text file under the common application-data folder. Best effort: nothing here reaches the
// caller as a failure.
#pragma once
#include "config/RapidJson.h"
#include "config/StringMaps.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace Taliro {
namespace Analytics {

enum LogType : std::uint32_t { TransportsLog = 0, RawTrackLog = 1, ErrorLog = 2 };
enum RecordStatus : std::uint32_t { Fail = 0, Success = 1, Unprocessed = 2 };

constexpr wchar_t kAnalyticsLogFolder[] = L"$(FOLDERID_ProgramData)\\Orvane\\Telvana";

// A log file opened for appending with every kind of sharing. A line goes out in one write at
// the end of the file, under an exclusive lock of one byte far past any real end of the file:
// Windows places an append atomically, but Wine seeks to the end and then writes, so without
// the lock two processes can split or overwrite each other's lines. Readers are never refused:
// the locked byte holds no data.
class CAnalyticsLogFile {
public:
    explicit CAnalyticsLogFile(const std::wstring& path);
    CAnalyticsLogFile(const CAnalyticsLogFile&) = delete;
    CAnalyticsLogFile& operator=(const CAnalyticsLogFile&) = delete;

    bool IsOpen() const { return m_file != nullptr; }
    bool Good() const { return m_good; }
    // One byte per character (characters of code 256 or more have none and are left out), then
    // carriage return and line feed. False, and no longer good, when the write failed.
    bool WriteLine(const std::wstring& text);
    // False, and no longer good, when the handle could not be closed.
    bool Close();

private:
    struct HandleClose {
        void operator()(HANDLE handle) const { CloseHandle(handle); }
    };
    std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose> m_file;
    bool m_good;
};

class CAnalyticsLoggerHelper {
public:
    // The folder's placeholders are expanded for every record. The switch's key follows the
    // service's registry redirection (registry/CAUtils.h).
    explicit CAnalyticsLoggerHelper(std::wstring folder = kAnalyticsLogFolder);
    virtual ~CAnalyticsLoggerHelper();
    CAnalyticsLoggerHelper(const CAnalyticsLoggerHelper&) = delete;
    CAnalyticsLoggerHelper& operator=(const CAnalyticsLoggerHelper&) = delete;

    virtual std::wstring FormatRecord(const std::wstring& uniqueId, const std::wstring& data, LogType type,
                                      const std::vector<std::wstring>& transports, RecordStatus status,
                                      const std::wstring& error);
    // None when the switch is off, the folder cannot be resolved or the type is unknown; a stream
    // whose file failed to open is returned as it is.
    virtual std::shared_ptr<CAnalyticsLogFile> GetStream(LogType type);
    virtual std::wstring FormatRawTrackRecord(const std::wstring& uniqueId, const std::wstring& data);
    virtual std::wstring FormatTransportsRecord(const std::wstring& uniqueId, const std::wstring& data,
                                                const std::vector<std::wstring>& transports, RecordStatus status);
    virtual std::wstring FormatErrorRecord(const std::wstring& uniqueId, const std::wstring& data,
                                           const std::wstring& error);
    // The Add operations first make a non-object document an empty object. Names and texts lose
    // their characters of code 256 or more: the file has one byte per character.
    virtual void AddMapMember(WDocument& document, const std::wstring& name, const KeyValueMap& map);
    virtual void AddTextMember(WDocument& document, const std::wstring& name, const std::wstring& text);
    virtual void AddListMember(WDocument& document, const std::wstring& name, const std::vector<std::wstring>& list);
    virtual void ResetDocument(WDocument& document);
    virtual std::wstring KeepSingleByteCharacters(const std::wstring& text);
    virtual std::wstring DocumentToText(const WDocument& document);
    virtual std::wstring TranslateRecordStatus(RecordStatus status);

    // The process-wide instance, created on first use.
    static std::shared_ptr<CAnalyticsLoggerHelper> GetInstance();
    // Puts another instance in its place (tests use other folders); returns the one it replaces.
    static std::shared_ptr<CAnalyticsLoggerHelper> SetInstance(std::shared_ptr<CAnalyticsLoggerHelper> instance);

    // Read afresh for every record.
    bool IsLegacyAutomationLogEnabled();

private:
    std::wstring m_folder;
};

class CAnalyticsLogger {
public:
    explicit CAnalyticsLogger(std::shared_ptr<CAnalyticsLogFile> stream);

    // Writes one record, or nothing. The service's call after each Google Analytics send:
    // LogRecord(TransportsLog, uniqueId, {L"ga_legacy"}, sent ? Success : Fail, hitBody, L"").
    static void LogRecord(LogType type, const std::wstring& uniqueId, const std::vector<std::wstring>& transports,
                          RecordStatus status, const std::wstring& data, const std::wstring& error);
    // Writes the text as one line and closes the file.
    void Log(const std::wstring& text);

private:
    std::shared_ptr<CAnalyticsLogFile> m_stream;
};

// Current UTC time as "YYYY-MM-DD hh:mm:ssZ"; empty when the clock cannot be converted.
std::wstring FormatUtcTimestamp();

} // namespace Analytics
} // namespace Taliro
