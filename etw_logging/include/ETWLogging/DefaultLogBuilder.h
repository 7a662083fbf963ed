// Chooses and makes the process logger: the file logger or the ETW logger.
#pragma once
#include "ETWLogging/LoggingIf.h"

namespace ETWLogging {

class CDefaultLogBuilder : public CLogBuilderIf_ex {
public:
    // The process's builder, made on first use and kept until exit.
    static CDefaultLogBuilder& Instance();

    // The extended form with no properties name.
    bool BuildLogger(const wchar_t* appName, HINSTANCE instance, const wchar_t* hostName, DWORD mechanism,
                     CLoggingIf** logger, Lumetra::CRegKey* key) override;
    // Mechanism 1, or a "Logging Mechanism" of 1, makes the file logger; anything else the ETW
    // logger. The value is read from `key` when given, else enciphered from
    // HKLM\SOFTWARE\Orvane\Logging. False when *logger is already set, a given name is empty, or
    // the logger cannot be made or initialised.
    bool BuildLoggerEx(const wchar_t* propertiesName, const wchar_t* appName, HINSTANCE instance,
                       const wchar_t* hostName, DWORD mechanism, CLoggingIf** logger,
                       Lumetra::CRegKey* key) override;

    // True when the file logger is the one to make.
    static bool ChoosesFileLogger(DWORD mechanism, Lumetra::CRegKey* key);
};

} // namespace ETWLogging
