// The one way into RapidJSON for this service: its assertion must never end the process, so a
// failed one throws (callers catch it at their boundary); documents hold UTF-16 text.
#pragma once
#include <stdexcept>

namespace Taliro {
namespace Analytics {

class JsonAssertionFailed : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] inline void ThrowJsonAssertion(const char* what) { throw JsonAssertionFailed(what); }

} // namespace Analytics
} // namespace Taliro

#ifdef RAPIDJSON_ASSERT
#error "RapidJSON must be included through config/RapidJson.h only"
#endif
#define RAPIDJSON_ASSERT(x) ((x) ? static_cast<void>(0) : ::Taliro::Analytics::ThrowJsonAssertion(#x))
#ifndef RAPIDJSON_HAS_STDSTRING
#define RAPIDJSON_HAS_STDSTRING 1
#endif

#include <rapidjson/document.h>
#include <rapidjson/error/error.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

namespace Taliro {
namespace Analytics {

using WDocument = rapidjson::GenericDocument<rapidjson::UTF16<>>;
using WValue = rapidjson::GenericValue<rapidjson::UTF16<>>;

// Client and file text are parsed without recursion: deep nesting must not exhaust the stack.
constexpr unsigned kJsonParseFlags = rapidjson::kParseIterativeFlag;

// A number as text: integers as their exact decimal, anything else as the writer writes it.
std::wstring JsonNumberText(const WValue& number);

// The text of a string value, embedded NULs kept.
inline std::wstring JsonStringText(const WValue& text) { return std::wstring(text.GetString(), text.GetStringLength()); }

// Scalar member values as text: "true"/"false", numbers, strings; false for null, objects and arrays.
bool JsonScalarText(const WValue& value, std::wstring& text);

// Every UTF-16 unit outside ASCII written as \uXXXX, so the text survives any narrow code page.
// Only valid on JSON text: non-ASCII can only appear inside strings there.
std::wstring EscapeNonAscii(const std::wstring& json);

} // namespace Analytics
} // namespace Taliro
