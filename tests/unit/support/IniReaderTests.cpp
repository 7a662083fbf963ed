#include "Lumetra/IniReader.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Lumetra::CBaseIniReader;

namespace {

// Records what the parser hands to the storage operation.
class RecordingReader : public CBaseIniReader {
public:
    struct Added {
        std::wstring section, name, value;
        bool overwrite;
    };
    std::vector<Added> added;
    bool accept = true;
    mutable std::wstring lastKey;

    bool GetDWORDValue(const std::wstring& key, DWORD& value) const override
    {
        lastKey = key;
        value = 42;
        return true;
    }
    bool GetStringValue(const std::wstring& key, std::wstring& value) const override
    {
        lastKey = key;
        value = L"text";
        return true;
    }
    bool GetSection(const std::wstring&, std::map<std::wstring, std::wstring>&) const override { return false; }
    bool AddEntry(const std::wstring& section, const std::wstring& name, const std::wstring& value,
                  bool overwrite) override
    {
        added.push_back({section, name, value, overwrite});
        return accept;
    }

    UINT32 Entries() const { return m_entryCount; }
    UINT32 Sections() const { return m_sectionCount; }
    const std::wstring& Path() const { return m_filePath; }
};

::testing::AssertionResult IsEntry(const RecordingReader::Added& a, const std::wstring& section,
                                   const std::wstring& name, const std::wstring& value)
{
    if (a.section == section && a.name == name && a.value == value && !a.overwrite)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got [" << TestUtil::Narrow(a.section) << "] '"
                                         << TestUtil::Narrow(a.name) << "' = '" << TestUtil::Narrow(a.value)
                                         << "' overwrite " << a.overwrite;
}

} // namespace

TEST(IniReader, SectionAndEntryLines)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"rules.ini");
    ASSERT_TRUE(TestUtil::WriteFileBytes(path,
                                         "top = above\r\n"
                                         "  [  Config  ]  \r\n"
                                         "MaxSize = 0x40000\r\n"
                                         "[]\n"
                                         "=empty name\n"
                                         "a=b=c\n"
                                         "; x=comment\n"
                                         "\n"
                                         "   \t \n"
                                         "#hash=1\n"
                                         "no equals sign\n"
                                         "\tk\t=\t v \t\n"
                                         "[ a=b ]\n"
                                         "last=1"));
    RecordingReader reader;
    ASSERT_TRUE(reader.Load(path));

    ASSERT_EQ(reader.added.size(), 7u);
    EXPECT_TRUE(IsEntry(reader.added[0], L"", L"top", L"above"));
    EXPECT_TRUE(IsEntry(reader.added[1], L"Config", L"MaxSize", L"0x40000"));
    EXPECT_TRUE(IsEntry(reader.added[2], L"Config", L"", L"empty name"));
    EXPECT_TRUE(IsEntry(reader.added[3], L"Config", L"a", L"b=c"));
    EXPECT_TRUE(IsEntry(reader.added[4], L"Config", L"#hash", L"1"));
    EXPECT_TRUE(IsEntry(reader.added[5], L"Config", L"k", L"v"));
    EXPECT_TRUE(IsEntry(reader.added[6], L"a=b", L"last", L"1"));
    EXPECT_EQ(reader.Sections(), 2u);
    EXPECT_EQ(reader.Entries(), 7u);
}

TEST(IniReader, EntryCountFollowsStorageAnswer)
{
    RecordingReader reader;
    reader.accept = false;
    reader.ParseLine("a=1\n");
    reader.ParseLine(nullptr);
    EXPECT_EQ(reader.added.size(), 1u);
    EXPECT_EQ(reader.Entries(), 0u);
}

TEST(IniReader, LongLineIsReadInChunksOf1023Bytes)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"long.ini");
    const std::string line = "p1=" + std::string(1020, 'a') + "p2=" + std::string(1020, 'b') + "p3=" +
                             std::string(951, 'c');
    ASSERT_EQ(line.size(), 3000u);
    ASSERT_TRUE(TestUtil::WriteFileBytes(path, "[S]\n" + line + "\nafter=1\n"));

    RecordingReader reader;
    ASSERT_TRUE(reader.Load(path));
    ASSERT_EQ(reader.added.size(), 4u);
    EXPECT_TRUE(IsEntry(reader.added[0], L"S", L"p1", std::wstring(1020, L'a')));
    EXPECT_TRUE(IsEntry(reader.added[1], L"S", L"p2", std::wstring(1020, L'b')));
    EXPECT_TRUE(IsEntry(reader.added[2], L"S", L"p3", std::wstring(951, L'c')));
    EXPECT_TRUE(IsEntry(reader.added[3], L"S", L"after", L"1"));
}

TEST(IniReader, LinesUseTheThreadCodePage)
{
    // Shift-JIS bytes of U+65E5 U+672C, read with the thread's code page switched to 932.
    const LCID previous = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT)));
    RecordingReader reader;
    reader.ParseLine("name=\x93\xFA\x96\x7B\n");
    SetThreadLocale(previous);
    ASSERT_EQ(reader.added.size(), 1u);
    EXPECT_EQ(reader.added[0].value, L"\x65E5\x672C");
}

TEST(IniReader, EachLoadStartsInTheEmptySection)
{
    TestUtil::ScratchDir dir;
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"a.ini"), "[Tail]\nx=1\n"));
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"b.ini"), "y=2\n"));
    RecordingReader reader;
    ASSERT_TRUE(reader.Load(dir.File(L"a.ini")));
    ASSERT_TRUE(reader.Load(dir.File(L"b.ini")));
    ASSERT_EQ(reader.added.size(), 2u);
    EXPECT_TRUE(IsEntry(reader.added[1], L"", L"y", L"2"));
}

TEST(IniReader, LoadFailuresAndPathKeeping)
{
    TestUtil::ScratchDir dir;
    RecordingReader reader;

    EXPECT_FALSE(reader.Load(L""));
    EXPECT_FALSE(reader.SetStringValue(L"S", L"k", L"v"));  // no path yet

    // A missing file keeps the path so that a write creates the file.
    const std::wstring missing = dir.File(L"new.ini");
    EXPECT_FALSE(reader.Load(missing));
    EXPECT_EQ(reader.Path(), missing);
    EXPECT_FALSE(TestUtil::FileExists(missing));
    ASSERT_TRUE(reader.SetStringValue(L"S", L"k", L"v"));
    EXPECT_EQ(TestUtil::ReadFileBytes(missing), "[S]\r\nk=v\r\n");
    ASSERT_EQ(reader.added.size(), 1u);
    EXPECT_TRUE(reader.added[0].overwrite);

    // Any other open failure (a folder) forgets the path.
    EXPECT_FALSE(reader.Load(dir.Path()));
    EXPECT_TRUE(reader.Path().empty());
    EXPECT_FALSE(reader.SetStringValue(L"S", L"k", L"w"));
    EXPECT_EQ(TestUtil::ReadFileBytes(missing), "[S]\r\nk=v\r\n");
}

TEST(IniReader, NumbersAreWrittenSignedAndKeysJoinWithFullStop)
{
    TestUtil::ScratchDir dir;
    const std::wstring path = dir.File(L"num.ini");
    RecordingReader reader;
    EXPECT_FALSE(reader.Load(path));
    ASSERT_TRUE(reader.SetDWORDValue(L"S", L"n", 0xFFFFFFFFu));
    EXPECT_EQ(TestUtil::ReadFileBytes(path), "[S]\r\nn=-1\r\n");
    ASSERT_EQ(reader.added.size(), 1u);
    EXPECT_EQ(reader.added[0].value, L"-1");

    DWORD number = 0;
    std::wstring text;
    EXPECT_TRUE(reader.GetValue(L"Sec", L"a.b", number));
    EXPECT_EQ(reader.lastKey, L"Sec.a.b");
    EXPECT_TRUE(reader.GetValue(L"", L"n", text));
    EXPECT_EQ(reader.lastKey, L".n");
}
