// Carries the support library's own messages into the process logger.
#pragma once
#include "ETWLogging/LoggingIf.h"

#include "Lumetra/Logger.h"

namespace ETWLogging {

class CLumetraLogHandler : public Lumetra::ILoggingHandler {
public:
    // The one handler of the process, made on first use. At exit it leaves the process holder and
    // unregisters itself before the holder goes.
    static CLumetraLogHandler& Instance();

    // Support-library levels: 0/1 information -> 1 "Normal", 2 error -> 4 "Error", others -> 2 "Warning".
    static LogLevel MapLevel(unsigned int level);

    // Written without a level test and without a cut.
    void HandleLog(unsigned int level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* message) override;

    ~CLumetraLogHandler();

private:
    CLumetraLogHandler() = default;
};

} // namespace ETWLogging
