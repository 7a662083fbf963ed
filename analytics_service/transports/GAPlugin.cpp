#include "transports/GAPlugin.h"

#include "transports/GASender.h"

#include <ETWLogging/LogFront.h>

namespace Taliro {

namespace {

// Hands each UTF-8 byte of the text to `byte`; an unpaired surrogate becomes U+FFFD.
template <typename Byte>
void EachUtf8Byte(const std::wstring& text, Byte byte)
{
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            byte(static_cast<unsigned char>(c));
        } else if (c < 0x800) {
            byte(static_cast<unsigned char>(0xC0 | (c >> 6)));
            byte(static_cast<unsigned char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            byte(static_cast<unsigned char>(0xE0 | (c >> 12)));
            byte(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
            byte(static_cast<unsigned char>(0x80 | (c & 0x3F)));
        } else {
            byte(static_cast<unsigned char>(0xF0 | (c >> 18)));
            byte(static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F)));
            byte(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
            byte(static_cast<unsigned char>(0x80 | (c & 0x3F)));
        }
    }
}

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Encoded text goes to `out` only while it holds fewer than `room` characters, so a client's
// oversized value costs no memory in proportion to it; `length` counts the whole encoded text.
class BoundedEncoder {
public:
    BoundedEncoder(std::wstring& out, size_t room) : m_out(out), m_room(room) {}
    void Append(const std::wstring& text)
    {
        EachUtf8Byte(text, [this](unsigned char c) {
            if (IsUnreserved(c)) {
                Put(static_cast<wchar_t>(c));
            } else {
                static const wchar_t kHex[] = L"0123456789ABCDEF";
                Put(L'%');
                Put(kHex[c >> 4]);
                Put(kHex[c & 0x0F]);
            }
        });
    }
    void Put(wchar_t c)
    {
        ++m_length;
        if (m_out.size() < m_room) m_out += c;
    }
    size_t Length() const { return m_length; }

private:
    std::wstring& m_out;
    size_t m_room;
    size_t m_length = 0;
};

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
    EachUtf8Byte(text, [&out](unsigned char c) { out += static_cast<char>(c); });
    return out;
}

std::wstring GAPlugin::JoinParameters(const KeyValueMap& hit)
{
    size_t length = 0;
    return JoinParameters(hit, static_cast<size_t>(-1), length);
}

std::wstring GAPlugin::JoinParameters(const KeyValueMap& hit, size_t room, size_t& length)
{
    std::wstring text;
    BoundedEncoder encoder(text, room);
    for (const auto& pair : hit) {
        if (encoder.Length() != 0) encoder.Put(L'&');
        encoder.Append(pair.first);
        encoder.Put(L'=');
        encoder.Append(pair.second);
    }
    length = encoder.Length();
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
        size_t length = 0;
        hitText = JoinParameters(hit, kMaxHitBytes, length);
        if (length > kMaxHitBytes) hitText += kCutMark;
        if (hit[L"tid"].empty()) {
            LogError(__LINE__, L"The hit has no tracking id. Will not send");
            return false;
        }
        if (length > kMaxHitBytes) {
            LogError(__LINE__, L"The hit has %lu bytes, more than the limit of %lu. Will not send",
                     static_cast<unsigned long>(length), static_cast<unsigned long>(kMaxHitBytes));
            return false;
        }
        // The hit text is ASCII after encoding: its UTF-8 form is the same bytes.
        return m_sender && m_sender->Send(ToUtf8(hitText));
    } catch (...) {
        LogError(__LINE__, L"The hit could not be built. Will not send");
        return false;
    }
}

} // namespace Taliro
