// Wide printf with the Windows family's semantics (%s is a wide string, %hs narrow), into a
// string of exactly the formatted length.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <string>

namespace Lumetra {

// 0 with the text formatted; ERROR_INVALID_PARAMETER when the runtime rejects the format (or it
// is null), ERROR_OUTOFMEMORY when the text cannot be allocated. On failure `text` is empty.
// Never throws; `args` is left unconsumed, so the caller may use it again.
DWORD FormatWideV(std::wstring& text, const wchar_t* format, va_list args) noexcept;
DWORD FormatWide(std::wstring& text, const wchar_t* format, ...) noexcept;

} // namespace Lumetra
