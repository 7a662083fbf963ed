// Logger that writes numbered, rotating UTF-16LE text files under ProgramData\Orvane\OVLOGS.
//
// Several processes may write the same files: every line is written under a named mutex shared
// by all processes of one executable name in the session, opening, appending and closing the
// current file. Limits and threshold come from two enciphered "log.ini" files, the common one in
// the log root and the log folder's own.
#pragma once
#include "ETWLogging/LoggingIf.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

namespace ETWLogging {

// Bits of the Options setting: the parts that a line carries.
enum LogOptions : DWORD {
    LogOptionDebugOutput = 1,     // the line also goes to OutputDebugStringW
    LogOptionProcessThread = 4,   // "[PID:%5d TID:%5d]$"
    LogOptionSourceLine = 8,      // "[file:%5d]$", file name fitted to 20 characters
    LogOptionModule = 16,         // "[module]$", module file name fitted to 15 characters
    LogOptionFunction = 32,       // "[function()]$", fitted to 40 characters
};

class CLogging : public CLoggingIf {
public:
    static constexpr DWORD kDefaultMaxSize = 0x40000;
    static constexpr DWORD kLargestMaxSize = 0xA00000;
    static constexpr DWORD kDefaultMaxEntries = 3;
    static constexpr DWORD kFewestEntries = 2;
    static constexpr DWORD kMostEntries = 100;
    static constexpr DWORD kDefaultSeverity = 3;
    static constexpr DWORD kDefaultOptions = LogOptionModule;
    // Severity of a logger whose folder could not be made: above every level.
    static constexpr DWORD kSilencedSeverity = 10000;
    static constexpr DWORD kMutexWaitMs = 7000;

    // 20001: Initialize on an open logger; 20002: the logger is not open.
    static constexpr DWORD kErrorAlreadyInitialized = 20001;
    static constexpr DWORD kErrorNotOpen = 20002;

    CLogging() noexcept;
    ~CLogging() override;
    CLogging(const CLogging&) = delete;
    CLogging& operator=(const CLogging&) = delete;

    // The listener is not used. 87 for an empty (non-null) name; 14 when memory runs out;
    // otherwise the failing system call's code. A failure leaves the defaults.
    DWORD Initialize(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName,
                     LoggingConfigListenerIf* listener) override;
    DWORD BeginWrite() override;
    DWORD Uninitialize() override;
    DWORD SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    // Formats and writes only when enabled and the level passes; the text is cut to 4159 characters.
    DWORD LogLevelF(LogLevel level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                    ...) override;
    // Writes one line; tests neither Enable nor the level (the caller has asked already).
    DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                const wchar_t* text) override;
    bool IsLevelEnabled(LogLevel level) override;
    void SetMaxEntries(DWORD count) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    void SetSeverity(LogLevel level) override;
    LogLevel GetSeverity() override;
    LONG AddRef() override;
    // Destroys the object when the count reaches 0.
    LONG Release() override;

    // The common program-data folder, made when missing. 87 for a null buffer or when the folder
    // cannot be had; 122 when it had to be cut to fit.
    virtual DWORD GetProgramDataFolder(wchar_t* buffer, DWORD size);

    // One finished line, with its line end. 87 for an empty message or a level without a name.
    DWORD FormatLine(const wchar_t* file, const wchar_t* function, int line, LogLevel level, const wchar_t* message,
                     std::wstring& text);

    DWORD GetOptions() const { return m_options; }
    const std::wstring& GetLogFolder() const { return m_logFolder; }

protected:
    // The clock of the line stamps.
    virtual void ReadLocalTime(SYSTEMTIME& now);

    // How long, in 100 ns units, the folder "log.ini" must have stood unchanged before the
    // "LastLogIdx" read from it is remembered: longer than the coarsest time-stamp step of a
    // file system, so that a later change always shows as another time stamp.
    ULONGLONG m_settleTime = 2 * 10000000ull;

private:
    using Gate = bool (*)(CLogging*);
    static bool FolderCheckGate(CLogging* self);
    static bool OpenGate(CLogging* self);
    static bool ClosedGate(CLogging* self);

    DWORD InitializeUnlocked(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName);
    DWORD BuildPaths();
    DWORD LoadSettings();
    DWORD OpenCurrentLogFile();
    // Opens or creates into the current file handle; the failing call's code otherwise.
    DWORD OpenLogFile(const std::wstring& path, DWORD access, DWORD disposition);
    DWORD CreateLogFile(DWORD index);
    std::wstring LogFilePath(DWORD index) const;
    // Stores "LastLogIdx"; an index the folder "log.ini" cannot take is held in the process.
    void StoreLastLogIndex(DWORD index);
    // "LastLogIdx" of the folder "log.ini" (0 when the file or the key is missing). With
    // mayRemember, the value read last is answered while the file's size and time stamps are
    // still those it was read with; `remembered` tells which it was.
    DWORD ReadLastLogIndex(bool mayRemember, bool& remembered);
    // Leaves the file of `index`, full or beyond the set, for the next one: appended to when
    // another writer began it after the one left, else begun anew. Opens it as the current file.
    DWORD RotateFrom(DWORD index, DWORD& current);
    DWORD WriteUnlocked(const wchar_t* file, const wchar_t* function, int line, LogLevel level, const wchar_t* text);
    void ClearState();
    void CloseFile();

    bool m_open = false;
    bool m_hasAppName = false;
    std::wstring m_appName;
    std::wstring m_baseName;
    std::wstring m_moduleFileName;
    DWORD m_processId = 0;
    bool m_hasHostName = false;
    std::wstring m_hostName;
    std::wstring m_logFolder;
    HANDLE m_file = nullptr;
    std::mutex m_writeLock;
    volatile LONG m_refCount = 0;
    // Made by the first Initialize, while writers may already read it; closed only at the end.
    std::atomic<HANDLE> m_mutex{nullptr};
    DWORD m_maxSize = kDefaultMaxSize;
    DWORD m_maxEntries = kDefaultMaxEntries;
    // Read by IsLevelEnabled on any thread while the first write may silence the logger.
    std::atomic<DWORD> m_severity{kDefaultSeverity};
    DWORD m_options = kDefaultOptions;
    std::wstring m_commonIniPath;
    std::wstring m_folderIniPath;
    std::atomic<LONG> m_enable{1};
    Gate m_gate = &FolderCheckGate;

    // The folder "log.ini" as it was when "LastLogIdx" was last read from it.
    struct RememberedIndex {
        bool valid = false;
        WIN32_FILE_ATTRIBUTE_DATA file = {};
        DWORD index = 0;
    } m_rememberedIndex;

    // The index of the current file while the folder "log.ini" could not take it: lines go on
    // from here, and storing it is tried again with each one.
    struct HeldIndex {
        bool valid = false;
        DWORD index = 0;
    } m_heldIndex;
};

} // namespace ETWLogging
