#include "Lumetra/WideFormat.h"

#include <cstdio>
#include <new>

namespace Lumetra {

DWORD FormatWideV(std::wstring& text, const wchar_t* format, va_list args) noexcept
{
    text.clear();
    if (!format) return ERROR_INVALID_PARAMETER;
    va_list measure;
    va_copy(measure, args);
    const int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length < 0) return ERROR_INVALID_PARAMETER;
    try {
        text.assign(static_cast<size_t>(length) + 1, L'\0');
    } catch (...) {
        return ERROR_OUTOFMEMORY;
    }
    va_list copy;
    va_copy(copy, args);
    const int written = _vsnwprintf(&text[0], text.size(), format, copy);
    va_end(copy);
    if (written < 0) {
        text.clear();
        return ERROR_INVALID_PARAMETER;
    }
    text.resize(static_cast<size_t>(written));
    return ERROR_SUCCESS;
}

DWORD FormatWide(std::wstring& text, const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const DWORD result = FormatWideV(text, format, args);
    va_end(args);
    return result;
}

} // namespace Lumetra
