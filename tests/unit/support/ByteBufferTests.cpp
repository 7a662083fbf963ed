#include "Lumetra/ByteBuffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using Lumetra::CByteBuffer;

namespace {

std::string Bytes(const CByteBuffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.m_pData), static_cast<size_t>(b.GetSize()));
}

} // namespace

TEST(ByteBuffer, GrowsWithFiftyBytesToSpare)
{
    CByteBuffer b;
    EXPECT_EQ(b.m_pData, nullptr);
    ASSERT_TRUE(b.Write("0123456789", 10));
    EXPECT_EQ(b.GetSize(), 10);
    EXPECT_EQ(b.m_nCapacity, 60);
    EXPECT_EQ(b.m_nPosition, 10);

    const BYTE* before = b.m_pData;
    ASSERT_TRUE(b.Write("abcde", 5));
    EXPECT_EQ(b.m_pData, before) << "a write that fits must not reallocate";
    EXPECT_EQ(b.m_nCapacity, 60);
    EXPECT_EQ(Bytes(b), "0123456789abcde");

    // 15 + 46 > 60: grows to 61 + 50 and keeps what was there.
    const std::string more(46, 'z');
    ASSERT_TRUE(b.Write(more.data(), 46));
    EXPECT_EQ(b.m_nCapacity, 111);
    EXPECT_EQ(Bytes(b), "0123456789abcde" + more);
}

TEST(ByteBuffer, WritesAtThePositionAndGrowsOnlyPastTheEnd)
{
    CByteBuffer b("0123456789", 10);
    // The constructor leaves the position at the start, so the next write overwrites.
    EXPECT_EQ(b.m_nPosition, 0);
    EXPECT_EQ(b.m_nCapacity, 60);
    ASSERT_TRUE(b.Write("AB", 2));
    EXPECT_EQ(Bytes(b), "AB23456789");
    EXPECT_EQ(b.m_nPosition, 2);

    b.m_nPosition = 8;
    ASSERT_TRUE(b.Write("xyz", 3));
    EXPECT_EQ(Bytes(b), "AB234567xyz");
    EXPECT_EQ(b.GetSize(), 11);
    EXPECT_EQ(b.m_nPosition, 11);

    // Out-of-range positions are clamped: past the end appends, negative starts at 0.
    b.m_nPosition = 500;
    ASSERT_TRUE(b.Write("!", 1));
    EXPECT_EQ(Bytes(b), "AB234567xyz!");
    b.m_nPosition = -4;
    ASSERT_TRUE(b.Write("#", 1));
    EXPECT_EQ(Bytes(b), "#B234567xyz!");
    EXPECT_EQ(b.m_nPosition, 1);
}

TEST(ByteBuffer, RejectedWritesLeaveTheBufferAlone)
{
    CByteBuffer b("abc", 3);
    EXPECT_FALSE(b.Write(nullptr, 0));
    EXPECT_FALSE(b.Write("x", -1));
    EXPECT_TRUE(b.Write("x", 0));
    // A length whose growth would overflow the 32-bit counts.
    EXPECT_FALSE(b.Write("x", INT_MAX - 10));
    EXPECT_EQ(Bytes(b), "abc");
    EXPECT_EQ(b.m_nPosition, 0);
    EXPECT_EQ(b.m_nCapacity, 53);

    CByteBuffer empty(nullptr, 5);
    EXPECT_EQ(empty.GetSize(), 0);
    EXPECT_EQ(empty.m_pData, nullptr);
}

TEST(ByteBuffer, ClearAndFree)
{
    CByteBuffer b("abc", 3);
    b.Clear();
    EXPECT_EQ(b.m_pData, nullptr);
    EXPECT_EQ(b.GetSize(), 0);
    EXPECT_EQ(b.m_nCapacity, 0);
    EXPECT_EQ(b.m_nPosition, 0);

    ASSERT_TRUE(b.Write("de", 2));
    EXPECT_EQ(b.m_nCapacity, 52);
    b.Free();
    EXPECT_EQ(b.m_pData, nullptr);
    EXPECT_EQ(b.GetSize(), 0);
    EXPECT_EQ(b.m_nCapacity, 0);
    ASSERT_TRUE(b.Write("f", 1));
    EXPECT_EQ(Bytes(b), "f");
}

TEST(ByteBuffer, WritesItsOwnBytesEvenWhenItMustGrow)
{
    // The source lies in the block that growing replaces; the copy must come from the old bytes.
    const std::string text = "0123456789";
    Lumetra::CByteBuffer b(text.data(), static_cast<int>(text.size()));
    ASSERT_EQ(b.m_nCapacity, 60);
    b.m_nPosition = b.m_nSize;
    for (int round = 0; round < 4; ++round) ASSERT_TRUE(b.Write(b.m_pData, b.m_nSize));
    ASSERT_EQ(b.m_nSize, 160);
    std::string expected;
    for (int i = 0; i < 16; ++i) expected += text;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.m_pData), 160), expected);

    // Overlapping copy inside the buffer: bytes 2..11 written at position 0.
    b.m_nPosition = 0;
    ASSERT_TRUE(b.Write(b.m_pData + 2, 10));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.m_pData), 12), "234567890101");
}
