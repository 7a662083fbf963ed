#include "Lumetra/WideFormat.h"

#include <gtest/gtest.h>

using Lumetra::FormatWide;

TEST(WideFormat, FollowsTheWindowsFamily)
{
    std::wstring text;
    ASSERT_EQ(FormatWide(text, L"[%s] %d %lu %hs %ls %08X %lld", L"wide", -3, 4000000000ul, "narrow", L"also",
                         0xBEEFu, -5000000000ll),
              0u);
    EXPECT_EQ(text, L"[wide] -3 4000000000 narrow also 0000BEEF -5000000000");
}

TEST(WideFormat, ExactLengthAndLongTexts)
{
    std::wstring text;
    const std::wstring long_text(10000, L'x');
    ASSERT_EQ(FormatWide(text, L"%s!", long_text.c_str()), 0u);
    EXPECT_EQ(text.size(), 10001u);
    EXPECT_EQ(text.back(), L'!');
    ASSERT_EQ(FormatWide(text, L""), 0u);
    EXPECT_TRUE(text.empty());
}

TEST(WideFormat, NullFormatIsRefused)
{
    std::wstring text = L"old";
    EXPECT_EQ(FormatWide(text, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(text.empty());
}
