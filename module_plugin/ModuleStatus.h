// Status names, the loaders' exception and the log call form of the module.
#pragma once
#include "ModuleTypes.h"

#include "ETWLogging/LogFront.h"

#include <exception>
#include <string>

// Every log call of the module first asks whether its level is enabled.
#define TALIRO_LOG(level, file, function, ...)                                                 \
    do {                                                                                       \
        if (ETWLogging::IsLogLevelEnabled(level))                                              \
            ETWLogging::Log(level, file, function, __LINE__, __VA_ARGS__);                     \
    } while (0)

namespace Taliro {

// "MODULE_STATUS_..." for a known code, "MODULE_STATUS_UNKNOWN" for any other.
const wchar_t* GetStatusName(unsigned long status);

class ModuleException : public std::exception {
public:
    explicit ModuleException(const char* text) : m_text(text ? text : "") {}
    const char* what() const noexcept override { return m_text.c_str(); }

private:
    std::string m_text;
};

} // namespace Taliro
