#include "config/AnalyticsConfigParser.h"

#include "ETWLogging/LogFront.h"

namespace Taliro {

namespace {

const Analytics::WValue* FindMember(const Analytics::WValue& value, const std::wstring& memberName)
{
    if (!value.IsObject()) return nullptr;
    auto member = value.FindMember(memberName);
    return member == value.MemberEnd() ? nullptr : &member->value;
}

void LogMissing(const wchar_t* function, const std::wstring& memberName)
{
    if (ETWLogging::IsLogLevelEnabled(3))
        ETWLogging::Log(3, L"AnalyticsConfigParser", function, __LINE__, L"Submember (%s) does not exist",
                        memberName.c_str());
}

} // namespace

std::vector<std::wstring> AnalyticsConfigParser::GetListFromSubMember(const Analytics::WValue& value,
                                                                      const std::wstring& memberName)
{
    if (const Analytics::WValue* member = FindMember(value, memberName)) return GetListFromArray(*member);
    LogMissing(L"Taliro::AnalyticsConfigParser::GetListFromSubMember", memberName);
    return {};
}

std::wstring AnalyticsConfigParser::GetWStringFromSubMember(const Analytics::WValue& value,
                                                            const std::wstring& memberName)
{
    const Analytics::WValue* member = FindMember(value, memberName);
    if (!member) {
        LogMissing(L"Taliro::AnalyticsConfigParser::GetWStringFromSubMember", memberName);
        return {};
    }
    if (member->IsString()) return Analytics::JsonStringText(*member);
    // A number outside the 32-bit range or with a fraction keeps its own text rather than a
    // truncated one.
    if (member->IsNumber()) return Analytics::JsonNumberText(*member);
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"AnalyticsConfigParser", L"Taliro::AnalyticsConfigParser::GetWStringFromSubMember",
                        __LINE__, L"Unhandeled JSON member type : %s", memberName.c_str());
    return {};
}

std::vector<std::wstring> AnalyticsConfigParser::GetListFromArray(const Analytics::WValue& value)
{
    std::vector<std::wstring> list;
    if (!value.IsArray()) return list;
    for (const Analytics::WValue& element : value.GetArray())
        if (element.IsString()) list.push_back(Analytics::JsonStringText(element));
    return list;
}

KeyValueMap AnalyticsConfigParser::GetMapFromObject(const Analytics::WValue& value)
{
    KeyValueMap map;
    if (!value.IsObject()) return map;
    for (auto member = value.MemberBegin(); member != value.MemberEnd(); ++member)
        if (member->value.IsString())
            map.emplace(Analytics::JsonStringText(member->name), Analytics::JsonStringText(member->value));
    return map;
}

} // namespace Taliro
