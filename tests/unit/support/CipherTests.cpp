#include "Lumetra/ValueCipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace Lumetra;

namespace {

std::string Hex(const unsigned char* d, size_t n)
{
    static const char* k = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += k[d[i] >> 4];
        s += k[d[i] & 15];
    }
    return s;
}

std::string Md5Hex(const std::string& text)
{
    unsigned char d[16];
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char*>(text.data()), static_cast<UINT32>(text.size()));
    MD5Final(&ctx);
    std::memcpy(d, ctx.digest, 16);
    return Hex(d, 16);
}

std::vector<BYTE> Encipher(const std::vector<BYTE>& plain, int rounds, const char* key = g_pszRegistryValueKey)
{
    CValueCipher c(key, static_cast<int>(std::strlen(key)), rounds);
    std::vector<BYTE> out(plain.size());
    EXPECT_TRUE(c.Encipher(plain.data(), out.data(), static_cast<DWORD>(plain.size())));
    return out;
}

std::vector<BYTE> Decipher(const std::vector<BYTE>& enc, int rounds, const char* key = g_pszRegistryValueKey)
{
    CValueCipher c(key, static_cast<int>(std::strlen(key)), rounds);
    std::vector<BYTE> out(enc.size());
    EXPECT_TRUE(c.Decipher(enc.data(), out.data(), static_cast<DWORD>(enc.size())));
    return out;
}

} // namespace

TEST(MD5, Rfc1321TestSuite)
{
    // The test suite of RFC 1321, appendix A.5.
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(MD5, PiecewiseUpdateEqualsOneShot)
{
    std::string text(1000, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7 + 3);
    unsigned char whole[16];
    ASSERT_EQ(ComputeMD5(text.data(), static_cast<DWORD>(text.size()), whole, 16), 0);
    MD5_CTX ctx;
    MD5Init(&ctx);
    size_t pos = 0;
    for (UINT32 step : {1u, 63u, 64u, 65u, 7u, 300u}) {
        MD5Update(&ctx, reinterpret_cast<const unsigned char*>(text.data()) + pos, step);
        pos += step;
    }
    MD5Update(&ctx, reinterpret_cast<const unsigned char*>(text.data()) + pos, static_cast<UINT32>(text.size() - pos));
    MD5Final(&ctx);
    EXPECT_EQ(Hex(ctx.digest, 16), Hex(whole, 16));
}

TEST(MD5, ComputeAndCompareArguments)
{
    unsigned char d[20];
    std::memset(d, 0xAA, sizeof d);
    EXPECT_EQ(ComputeMD5("abc", 3, d, 20), -1);
    for (unsigned char b : d) EXPECT_EQ(b, 0xAA);
    EXPECT_EQ(ComputeMD5(nullptr, 3, d, 16), -1);
    EXPECT_EQ(ComputeMD5("abc", 0, d, 16), -1);
    EXPECT_EQ(ComputeMD5("abc", 3, nullptr, 16), -1);

    ASSERT_EQ(ComputeMD5("abc", 3, d, 16), 0);
    EXPECT_EQ(Hex(d, 16), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(CompareMD5("abc", 3, d, 16), 0);
    for (int bit = 0; bit < 128; bit += 37) {
        unsigned char other[16];
        std::memcpy(other, d, 16);
        other[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        EXPECT_EQ(CompareMD5("abc", 3, other, 16), -1);
    }
    EXPECT_EQ(CompareMD5("abc", 3, d, 15), -1);
    EXPECT_EQ(CompareMD5(nullptr, 3, d, 16), -1);
    EXPECT_EQ(CompareMD5("abc", 0, d, 16), -1);
}

TEST(ValueCipher, KnownAnswerFromIndependentModel)
{
    // Written out by hand from the algorithm: key "Key", rounds 1. RC4("Key") keystream starts
    // eb 9f 77 81 b7 34 ca 72 a7 19 ... (the classic RC4 test vector). Chain = 0xeb.
    // p='P'(0x50): chain=0xbb; c=(0x9f^0xbb)+0x77 = 0x24+0x77 = 0x9b
    // p='l'(0x6c): chain=0xd7; c=(0x81^0xd7)+0xb7 = 0x56+0xb7 = 0x0d
    // p='a'(0x61): chain=0xb6; c=(0x34^0xb6)+0xca = 0x82+0xca = 0x4c
    const char* key = "Key";
    CValueCipher c(key, 3, 1);
    const BYTE plain[] = {'P', 'l', 'a'};
    BYTE out[3];
    ASSERT_TRUE(c.Encipher(plain, out, 3));
    EXPECT_EQ(out[0], 0x9b);
    EXPECT_EQ(out[1], 0x0d);
    EXPECT_EQ(out[2], 0x4c);
}

TEST(ValueCipher, RoundTripAllRoundsAndLengths)
{
    std::mt19937 rng(12345);
    for (int rounds = 1; rounds <= 8; ++rounds) {
        for (size_t len : {size_t(1), size_t(2), size_t(3), size_t(31), size_t(32), size_t(255), size_t(256),
                           size_t(1000), size_t(4095), size_t(4096)}) {
            std::vector<BYTE> plain(len);
            for (auto& b : plain) b = static_cast<BYTE>(rng());
            auto enc = Encipher(plain, rounds);
            EXPECT_NE(enc, plain) << "rounds " << rounds << " len " << len;
            EXPECT_EQ(Decipher(enc, rounds), plain) << "rounds " << rounds << " len " << len;
        }
    }
}

TEST(ValueCipher, RoundsChangeTheOutputAndLowRoundsMeanOne)
{
    std::vector<BYTE> plain(64, 0x5A);
    EXPECT_NE(Encipher(plain, 1), Encipher(plain, 2));
    EXPECT_EQ(Encipher(plain, 0), Encipher(plain, 1));
    EXPECT_EQ(Encipher(plain, -3), Encipher(plain, 1));
    EXPECT_NE(Encipher(plain, 1, g_pszRegistryValueKey), Encipher(plain, 1, g_pszIniValueKey));
}

TEST(ValueCipher, StreamContinuesWithinOneObject)
{
    const char* key = g_pszIniValueKey;
    CValueCipher c(key, 38, 1);
    BYTE plain[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    BYTE first[16], second[16];
    ASSERT_TRUE(c.Encipher(plain, first, 16));
    ASSERT_TRUE(c.Encipher(plain, second, 16));
    EXPECT_NE(std::memcmp(first, second, 16), 0);
}

TEST(ValueCipher, NullKeyIsTheDefaultKey)
{
    std::vector<BYTE> plain = {'d', 'e', 'f', 'a', 'u', 'l', 't'};
    CValueCipher a(nullptr, 10, 1), b(g_pszDefaultValueKey, 38, 1), c("x", 0, 1);
    std::vector<BYTE> oa(plain.size()), ob(plain.size()), oc(plain.size());
    a.Encipher(plain.data(), oa.data(), 7);
    b.Encipher(plain.data(), ob.data(), 7);
    c.Encipher(plain.data(), oc.data(), 7);
    EXPECT_EQ(oa, ob);
    EXPECT_EQ(oc, ob);
}

TEST(ValueCipher, ChangeReachesOnlyLaterBytes)
{
    std::vector<BYTE> plain(40);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<BYTE>(i);
    auto base = Encipher(plain, 1);
    auto changed = plain;
    changed[17] ^= 0x01;
    auto enc = Encipher(changed, 1);
    for (size_t i = 0; i < 17; ++i) EXPECT_EQ(enc[i], base[i]) << i;
    for (size_t i = 17; i < plain.size(); ++i) EXPECT_NE(enc[i], base[i]) << i;
}

TEST(ValueCipher, InPlaceAndBadArguments)
{
    std::vector<BYTE> plain = {9, 8, 7, 6, 5};
    auto expected = Encipher(plain, 3);
    auto buf = plain;
    CValueCipher e(g_pszRegistryValueKey, 38, 3);
    ASSERT_TRUE(e.Encipher(buf.data(), buf.data(), 5));
    EXPECT_EQ(buf, expected);
    CValueCipher d(g_pszRegistryValueKey, 38, 3);
    ASSERT_TRUE(d.Decipher(buf.data(), buf.data(), 5));
    EXPECT_EQ(buf, plain);

    CValueCipher z(nullptr, 0, 1);
    BYTE x = 0;
    EXPECT_FALSE(z.Encipher(nullptr, &x, 1));
    EXPECT_FALSE(z.Encipher(&x, nullptr, 1));
    EXPECT_FALSE(z.Encipher(&x, &x, 0));
    EXPECT_FALSE(z.Decipher(nullptr, &x, 1));
    EXPECT_FALSE(z.Decipher(&x, &x, 0));
}
