#include "ETWLogging/LumetraLogHandler.h"

#include "ETWLogging/LogFront.h"

namespace ETWLogging {

CLumetraLogHandler& CLumetraLogHandler::Instance()
{
    static CLumetraLogHandler handler;
    return handler;
}

CLumetraLogHandler::~CLumetraLogHandler()
{
    // Only a handler that the holder kept is registered; unregistering any other would send a
    // failure message to whichever handler is registered instead.
    LoggerHolder* holder = PeekLogger();
    if (holder && holder->TakeHandler(this)) Lumetra::CLogger::UnregisterHandler(this);
}

LogLevel CLumetraLogHandler::MapLevel(unsigned int level)
{
    switch (level) {
    case 0:
    case 1:
        return 1;
    case 2:
        return 4;
    default:
        return 2;
    }
}

void CLumetraLogHandler::HandleLog(unsigned int level, const wchar_t* file, const wchar_t* function, int line,
                                   const wchar_t* message)
{
    LoggerHolder* holder = PeekLogger();
    if (holder) holder->Write(file, function, line, MapLevel(level), message);
}

} // namespace ETWLogging
