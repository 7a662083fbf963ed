#include "config/CAJsonParser.h"

#include "config/RapidJson.h"

#include "ETWLogging/LogFront.h"

#include <cstdio>

namespace Taliro {
namespace Analytics {

std::wstring JsonNumberText(const WValue& number)
{
    if (number.IsInt64()) return std::to_wstring(number.GetInt64());
    if (number.IsUint64()) return std::to_wstring(number.GetUint64());
    rapidjson::GenericStringBuffer<rapidjson::UTF16<>> buffer;
    rapidjson::PrettyWriter<rapidjson::GenericStringBuffer<rapidjson::UTF16<>>, rapidjson::UTF16<>, rapidjson::UTF16<>>
        writer(buffer);
    writer.SetIndent(L' ', 4);
    if (!writer.Double(number.GetDouble())) return std::wstring();
    return buffer.GetString();
}

bool JsonScalarText(const WValue& value, std::wstring& text)
{
    if (value.IsString()) {
        text = JsonStringText(value);
        return true;
    }
    if (value.IsBool()) {
        text = value.GetBool() ? L"true" : L"false";
        return true;
    }
    if (value.IsNumber()) {
        text = JsonNumberText(value);
        return true;
    }
    return false;
}

std::wstring EscapeNonAscii(const std::wstring& json)
{
    std::wstring out;
    out.reserve(json.size());
    for (wchar_t unit : json) {
        if (unit < 0x80) {
            out.push_back(unit);
            continue;
        }
        wchar_t escape[8];
        std::swprintf(escape, 8, L"\\u%04X", static_cast<unsigned>(unit));
        out.append(escape, 6);
    }
    return out;
}

} // namespace Analytics
} // namespace Taliro

using namespace Taliro::Analytics;

namespace {

constexpr DWORD kInvalid = ERROR_INVALID_PARAMETER;

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// A surrogate without its partner is no character, and JSON text holding one does not parse
// again (a cache written so could never be read back): it is written as U+FFFD. Pairs stay.
std::wstring WithoutLoneSurrogates(const std::wstring& text)
{
    std::wstring out = text;
    for (size_t at = 0; at < out.size(); ++at) {
        if (IsHighSurrogate(out[at]) && at + 1 < out.size() && IsLowSurrogate(out[at + 1]))
            ++at;
        else if (IsHighSurrogate(out[at]) || IsLowSurrogate(out[at]))
            out[at] = L'\xFFFD';
    }
    return out;
}

template <typename Writer>
void WriteString(Writer& writer, const std::wstring& text)
{
    const std::wstring whole = WithoutLoneSurrogates(text);
    writer.String(whole.c_str(), static_cast<rapidjson::SizeType>(whole.size()), true);
}

// Parses client text into an object root. A root of another kind is refused like a syntax error
// (logged as an invalid value); so is text on which RapidJSON asserts (a lone \uDC00 escape).
bool ParseObject(const std::wstring& json, WDocument& document, const wchar_t* function)
{
    int error = rapidjson::kParseErrorNone;
    try {
        document.Parse<kJsonParseFlags>(json.c_str());
        if (document.HasParseError())
            error = document.GetParseError();
        else if (!document.IsObject())
            error = rapidjson::kParseErrorValueInvalid;
    } catch (const JsonAssertionFailed&) {
        error = rapidjson::kParseErrorStringUnicodeSurrogateInvalid;
    }
    if (error == rapidjson::kParseErrorNone) return true;
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"CAJsonParser", function, __LINE__, L"Parse Error: %d", error);
    return false;
}

// Empty text is refused before parsing, with its own line.
bool ParseNonEmptyObject(const std::wstring& json, WDocument& document, const wchar_t* function)
{
    if (!json.empty()) return ParseObject(json, document, function);
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"CAJsonParser", function, __LINE__, L"Invalid jsonString argument");
    return false;
}

// Scalar members of one object, null and nested values skipped, later names winning.
void ScalarMembers(const WValue& object, KeyValueMap& map)
{
    for (auto member = object.MemberBegin(); member != object.MemberEnd(); ++member) {
        std::wstring text;
        if (JsonScalarText(member->value, text)) map[JsonStringText(member->name)] = std::move(text);
    }
}

} // namespace

DWORD CCAJsonParser::MapToJsonString(const KeyValueMap& map, std::wstring& json)
{
    rapidjson::GenericStringBuffer<rapidjson::UTF16<>> buffer;
    rapidjson::Writer<rapidjson::GenericStringBuffer<rapidjson::UTF16<>>, rapidjson::UTF16<>, rapidjson::UTF16<>>
        writer(buffer);
    writer.StartObject();
    for (const auto& entry : map) {
        WriteString(writer, entry.first);
        WriteString(writer, entry.second);
    }
    writer.EndObject();
    json.assign(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
    return ERROR_SUCCESS;
}

DWORD CCAJsonParser::MapToNamedJsonMember(const std::wstring& name, const KeyValueMap& map, std::wstring& json)
{
    std::wstring object;
    MapToJsonString(map, object);
    json = L"\"" + name + L"\":" + object;
    return ERROR_SUCCESS;
}

DWORD CCAJsonParser::JsonObjectToMap(const std::wstring& json, KeyValueMap& map)
{
    WDocument document;
    if (!ParseNonEmptyObject(json, document, L"CCAJsonParser::JsonObjectToMap")) return kInvalid;
    ScalarMembers(document, map);
    return ERROR_SUCCESS;
}

DWORD CCAJsonParser::JsonObjectToMap(const std::wstring& json, NestedKeyValueMap& map)
{
    WDocument document;
    if (!ParseNonEmptyObject(json, document, L"CCAJsonParser::JsonObjectToMap")) return kInvalid;
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        if (!member->value.IsObject()) continue;
        KeyValueMap inner;
        ScalarMembers(member->value, inner);
        map[JsonStringText(member->name)] = std::move(inner);
    }
    return ERROR_SUCCESS;
}

DWORD CCAJsonParser::JsonNamedArrayToVector(const std::wstring& json, KeyValueMapLists& lists)
{
    WDocument document;
    if (!ParseNonEmptyObject(json, document, L"CCAJsonParser::JsonNamedArrayToVector")) return kInvalid;
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        if (!member->value.IsArray() || member->value.Empty()) continue;
        std::vector<KeyValueMap>& list = lists[JsonStringText(member->name)];
        for (const WValue& element : member->value.GetArray()) {
            if (!element.IsObject()) continue;  // only objects describe an entry
            KeyValueMap entry;
            for (auto field = element.MemberBegin(); field != element.MemberEnd(); ++field)
                if (field->value.IsString()) entry[JsonStringText(field->name)] = JsonStringText(field->value);
            list.push_back(std::move(entry));
        }
    }
    return ERROR_SUCCESS;
}

DWORD CCAJsonParser::JsonToObjectsAndArrays(const std::wstring& json, NestedKeyValueMap& objects,
                                            KeyValueMapLists& arrays)
{
    JsonObjectToMap(json, objects);
    return JsonNamedArrayToVector(json, arrays);
}

DWORD CCAJsonParser::JsonNamedArrayToVector(const wchar_t* json, KeyValueMapLists& lists)
{
    return JsonNamedArrayToVector(std::wstring(json ? json : L""), lists);
}

DWORD CCAJsonParser::JsonObjectToMap(const wchar_t* json, NestedKeyValueMap& map)
{
    return JsonObjectToMap(std::wstring(json ? json : L""), map);
}

bool CCAJsonParser::IsValidJsonObject(const std::wstring& json)
{
    KeyValueMap scratch;
    return JsonObjectToMap(json, scratch) == ERROR_SUCCESS;
}
