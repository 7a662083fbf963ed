#include "transports/GAPlugin.h"

#include "transports/GASender.h"

#include <ETWLogging/LogFront.h>

namespace Taliro {

namespace {

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

void AppendEncoded(std::wstring& out, const std::wstring& text)
{
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    for (unsigned char c : GAPlugin::ToUtf8(text)) {
        if (IsUnreserved(c)) {
            out += static_cast<wchar_t>(c);
        } else {
            out += L'%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
}

void LogError(int line, const wchar_t* format, unsigned long a = 0, unsigned long b = 0)
{
    if (ETWLogging::IsLogLevelEnabled(4))
        ETWLogging::Log(4, L"GAPlugin", L"Taliro::GAPlugin::SendAndGetHit", line, format, a, b);
}

} // namespace

std::string GAPlugin::ToUtf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::wstring GAPlugin::JoinParameters(const KeyValueMap& hit)
{
    std::wstring text;
    for (const auto& pair : hit) {
        AppendEncoded(text, pair.first);
        text += L'=';
        AppendEncoded(text, pair.second);
        text += L'&';
    }
    if (!text.empty()) text.pop_back();
    return text;
}

std::shared_ptr<IHttpSender> GAPlugin::CreateSender() { return std::make_shared<GASender>(); }

bool GAPlugin::LoadProfile(std::shared_ptr<IConfiguration> configuration)
{
    if (!configuration) return false;
    try {
        m_sender = CreateSender();
        if (!m_sender || !m_sender->Initialize()) return false;
        m_configuration = std::move(configuration);
        m_name = m_configuration->GetString(L"name");
        InitKeyMap();
        LoadKeyMap();
        std::shared_ptr<IConfiguration> options = m_configuration->GetConfiguration(L"options");
        return options && LoadOptions(*options);
    } catch (...) {
        return false;
    }
}

void GAPlugin::InitKeyMap()
{
    m_keyMap.clear();
    m_keyMap[L"Version"] = L"v";
    m_keyMap[L"TrackingId"] = L"tid";
    m_keyMap[L"ClientId"] = L"cid";
    m_keyMap[L"Type"] = L"t";
    m_keyMap[L"Tracker.Type"] = L"t";
}

void GAPlugin::LoadKeyMap()
{
    for (const auto& entry : m_configuration->GetConfigurationList(L"keyMap")) {
        if (entry) m_keyMap[entry->GetString(L"key")] = entry->GetString(L"value");
    }
}

bool GAPlugin::LoadOptions(IConfiguration& options)
{
    m_trackingId = options.GetString(L"trackerId");
    return !m_trackingId.empty();
}

void GAPlugin::MergeDictionary(const KeyValueMap& dictionary)
{
    // insert keeps an entry that is already there.
    m_keyMap.insert(dictionary.begin(), dictionary.end());
}

void GAPlugin::AddFixedParameters(KeyValueMap& hit) const
{
    hit[L"v"] = L"1";
    hit[L"tid"] = m_trackingId;
    hit[L"aip"] = L"1";
}

void GAPlugin::BuildHit(const KeyValueMap& data, KeyValueMap& hit) const
{
    for (const auto& entry : data) {
        auto mapped = m_keyMap.find(entry.first);
        if (mapped == m_keyMap.end()) continue;
        hit[mapped->second] = entry.second.empty() ? L"null" : entry.second;
    }
    auto type = hit.find(L"t");
    if (type == hit.end()) return;
    if (type->second == L"Event")
        type->second = L"event";
    else if (type->second == L"Screen" || type->second == L"screen")
        type->second = L"screenview";
}

bool GAPlugin::Send(ITrackingItem& item)
{
    std::wstring hit;
    return SendAndGetHit(item, hit);
}

bool GAPlugin::SendAndGetHit(ITrackingItem& item, std::wstring& hitText)
{
    try {
        KeyValueMap hit;
        AddFixedParameters(hit);
        BuildHit(item.GetData(), hit);
        hitText = JoinParameters(hit);
        if (hit[L"tid"].empty()) {
            LogError(__LINE__, L"The hit has no tracking id. Will not send");
            return false;
        }
        // The hit text is ASCII after encoding: its UTF-8 form is the same bytes.
        std::string body = ToUtf8(hitText);
        if (body.size() > kMaxHitBytes) {
            LogError(__LINE__, L"The hit has %lu bytes, more than the limit of %lu. Will not send",
                     static_cast<unsigned long>(body.size()), static_cast<unsigned long>(kMaxHitBytes));
            return false;
        }
        return m_sender && m_sender->Send(body);
    } catch (...) {
        LogError(__LINE__, L"The hit could not be built. Will not send");
        return false;
    }
}

} // namespace Taliro
