#include "Lumetra/ValueCipher.h"

#include <cstring>
#include <new>

namespace Lumetra {

const char* const g_pszRegistryValueKey = "{3A7C91D2-5E04-4b8f-A2C6-81F0D93B7E15}";
const char* const g_pszIniValueKey = "{B41E6C09-27D3-4F5A-9C1E-6A0D52F8C7B3}";
const char* const g_pszDefaultValueKey = "{C85D2A4F-91B6-47E2-B3A8-0F6C19D4E2A7}";

CValueCipher::CValueCipher(const void* key, int keyLength, int rounds)
{
    m_rounds = rounds < 2 ? 1 : rounds;
    if (m_rounds <= 8) {
        m_a = m_inlineScratch;
        m_b = m_inlineScratch + 8;
    } else {
        m_heapScratch.reset(new (std::nothrow) BYTE[2 * static_cast<size_t>(m_rounds)]);
        if (m_heapScratch) {
            m_a = m_heapScratch.get();
            m_b = m_heapScratch.get() + m_rounds;
        }
    }

    const BYTE* k = static_cast<const BYTE*>(key);
    if (!k || keyLength < 1) {
        k = reinterpret_cast<const BYTE*>(g_pszDefaultValueKey);
        keyLength = static_cast<int>(std::strlen(g_pszDefaultValueKey));
    }
    for (int n = 0; n < 256; ++n) m_s[n] = static_cast<BYTE>(n);
    BYTE j = 0;
    int kpos = 0;
    for (int n = 0; n < 256; ++n) {
        j = static_cast<BYTE>(j + k[kpos] + m_s[n]);
        BYTE t = m_s[n];
        m_s[n] = m_s[j];
        m_s[j] = t;
        if (++kpos == keyLength) kpos = 0;
    }
    m_i = 0;
    m_j = 0;
    m_keyed = true;
    m_chain = m_chainStart = NextKeyByte();
}

CValueCipher::~CValueCipher() = default;

BYTE CValueCipher::NextKeyByte()
{
    if (!m_keyed) return 0;
    m_i = static_cast<BYTE>(m_i + 1);
    m_j = static_cast<BYTE>(m_j + m_s[m_i]);
    BYTE t = m_s[m_i];
    m_s[m_i] = m_s[m_j];
    m_s[m_j] = t;
    return m_s[static_cast<BYTE>(m_s[m_i] + m_s[m_j])];
}

namespace {

// The keystream state held in locals for the length of one call: written back through the
// object only at the end, so the compiler need not reload and store it after every byte that
// goes out through a byte pointer.
struct KeyStream {
    BYTE* s;
    unsigned i;
    unsigned j;

    BYTE Next()
    {
        i = (i + 1) & 0xFF;
        BYTE si = s[i];
        j = (j + si) & 0xFF;
        BYTE sj = s[j];
        s[i] = sj;
        s[j] = si;
        return s[(si + sj) & 0xFF];
    }
};

} // namespace

bool CValueCipher::Encipher(const void* input, void* output, DWORD length)
{
    if (!input || !output || length == 0) return false;
    const BYTE* in = static_cast<const BYTE*>(input);
    BYTE* out = static_cast<BYTE*>(output);
    KeyStream ks{m_s, m_i, m_j};
    BYTE chain = m_chain;
    const int rounds = m_rounds;
    for (DWORD n = 0; n < length; ++n) {
        chain ^= in[n];
        BYTE a = ks.Next();
        BYTE b = ks.Next();
        BYTE c = static_cast<BYTE>((a ^ chain) + b);
        for (int r = 1; r < rounds; ++r) {
            a = ks.Next();
            b = ks.Next();
            c = static_cast<BYTE>((c ^ a) + b);
        }
        out[n] = c;
    }
    m_i = static_cast<BYTE>(ks.i);
    m_j = static_cast<BYTE>(ks.j);
    m_chain = chain;
    return true;
}

bool CValueCipher::Decipher(const void* input, void* output, DWORD length)
{
    if (!input || !output || length == 0 || !m_a || !m_b) return false;
    const BYTE* in = static_cast<const BYTE*>(input);
    BYTE* out = static_cast<BYTE*>(output);
    KeyStream ks{m_s, m_i, m_j};
    BYTE chain = m_chain;
    const int rounds = m_rounds;
    if (rounds == 1) {
        // One round needs no scratch: the pair is undone as soon as it is drawn.
        for (DWORD n = 0; n < length; ++n) {
            BYTE a = ks.Next();
            BYTE b = ks.Next();
            BYTE p = static_cast<BYTE>(static_cast<BYTE>(static_cast<BYTE>(in[n] - b) ^ a) ^ chain);
            out[n] = p;
            chain ^= p;
        }
    } else {
        BYTE* const aPad = m_a;
        BYTE* const bPad = m_b;
        for (DWORD n = 0; n < length; ++n) {
            BYTE c = in[n];
            for (int r = 0; r < rounds; ++r) {
                aPad[r] = ks.Next();
                bPad[r] = ks.Next();
            }
            for (int r = rounds - 1; r >= 1; --r) c = static_cast<BYTE>(static_cast<BYTE>(c - bPad[r]) ^ aPad[r]);
            BYTE p = static_cast<BYTE>(static_cast<BYTE>(static_cast<BYTE>(c - bPad[0]) ^ aPad[0]) ^ chain);
            out[n] = p;
            chain ^= p;
        }
    }
    m_i = static_cast<BYTE>(ks.i);
    m_j = static_cast<BYTE>(ks.j);
    m_chain = chain;
    return true;
}

// ---- MD5 (RFC 1321) ----

namespace {

inline UINT32 Rotl(UINT32 x, int c) { return (x << c) | (x >> (32 - c)); }
inline UINT32 F(UINT32 x, UINT32 y, UINT32 z) { return (x & y) | (~x & z); }
inline UINT32 G(UINT32 x, UINT32 y, UINT32 z) { return (x & z) | (y & ~z); }
inline UINT32 H(UINT32 x, UINT32 y, UINT32 z) { return x ^ y ^ z; }
inline UINT32 I(UINT32 x, UINT32 y, UINT32 z) { return y ^ (x | ~z); }

#define MD5_STEP(f, a, b, c, d, x, s, ac) \
    (a) += f((b), (c), (d)) + (x) + (UINT32)(ac); \
    (a) = Rotl((a), (s)) + (b);

void Encode(unsigned char* out, const UINT32* in, unsigned len)
{
    for (unsigned i = 0, j = 0; j < len; ++i, j += 4) {
        out[j] = static_cast<unsigned char>(in[i] & 0xff);
        out[j + 1] = static_cast<unsigned char>((in[i] >> 8) & 0xff);
        out[j + 2] = static_cast<unsigned char>((in[i] >> 16) & 0xff);
        out[j + 3] = static_cast<unsigned char>((in[i] >> 24) & 0xff);
    }
}

const unsigned char kPadding[64] = {0x80};

} // namespace

void MD5Transform(UINT32 state[4], const unsigned char block[64])
{
    UINT32 a = state[0], b = state[1], c = state[2], d = state[3], x[16];
    for (unsigned i = 0, j = 0; i < 16; ++i, j += 4)
        x[i] = static_cast<UINT32>(block[j]) | (static_cast<UINT32>(block[j + 1]) << 8) |
               (static_cast<UINT32>(block[j + 2]) << 16) | (static_cast<UINT32>(block[j + 3]) << 24);

    MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478) MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756)
    MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070db) MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceee)
    MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0faf) MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62a)
    MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613) MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501)
    MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8) MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7af)
    MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1) MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7be)
    MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122) MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193)
    MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438e) MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821)

    MD5_STEP(G, a, b, c, d, x[1], 5, 0xf61e2562) MD5_STEP(G, d, a, b, c, x[6], 9, 0xc040b340)
    MD5_STEP(G, c, d, a, b, x[11], 14, 0x265e5a51) MD5_STEP(G, b, c, d, a, x[0], 20, 0xe9b6c7aa)
    MD5_STEP(G, a, b, c, d, x[5], 5, 0xd62f105d) MD5_STEP(G, d, a, b, c, x[10], 9, 0x02441453)
    MD5_STEP(G, c, d, a, b, x[15], 14, 0xd8a1e681) MD5_STEP(G, b, c, d, a, x[4], 20, 0xe7d3fbc8)
    MD5_STEP(G, a, b, c, d, x[9], 5, 0x21e1cde6) MD5_STEP(G, d, a, b, c, x[14], 9, 0xc33707d6)
    MD5_STEP(G, c, d, a, b, x[3], 14, 0xf4d50d87) MD5_STEP(G, b, c, d, a, x[8], 20, 0x455a14ed)
    MD5_STEP(G, a, b, c, d, x[13], 5, 0xa9e3e905) MD5_STEP(G, d, a, b, c, x[2], 9, 0xfcefa3f8)
    MD5_STEP(G, c, d, a, b, x[7], 14, 0x676f02d9) MD5_STEP(G, b, c, d, a, x[12], 20, 0x8d2a4c8a)

    MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942) MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681)
    MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122) MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380c)
    MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44) MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9)
    MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60) MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70)
    MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6) MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fa)
    MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085) MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05)
    MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039) MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5)
    MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8) MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665)

    MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244) MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97)
    MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7) MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039)
    MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3) MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92)
    MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47d) MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1)
    MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4f) MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0)
    MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314) MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1)
    MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82) MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235)
    MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bb) MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391)

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    SecureZeroMemory(x, sizeof x);
}

#undef MD5_STEP

void MD5Init(MD5_CTX* context)
{
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void MD5Update(MD5_CTX* context, const unsigned char* input, UINT32 length)
{
    unsigned index = (context->count[0] >> 3) & 0x3F;
    if ((context->count[0] += (length << 3)) < (length << 3)) context->count[1]++;
    context->count[1] += (length >> 29);
    unsigned partLen = 64 - index;
    UINT32 i = 0;
    if (length >= partLen) {
        std::memcpy(&context->buffer[index], input, partLen);
        MD5Transform(context->state, context->buffer);
        for (i = partLen; i + 63 < length; i += 64) MD5Transform(context->state, &input[i]);
        index = 0;
    }
    if (length > i) std::memcpy(&context->buffer[index], &input[i], length - i);
}

void MD5Final(MD5_CTX* context)
{
    unsigned char bits[8];
    Encode(bits, context->count, 8);
    unsigned index = (context->count[0] >> 3) & 0x3f;
    unsigned padLen = (index < 56) ? (56 - index) : (120 - index);
    MD5Update(context, kPadding, padLen);
    MD5Update(context, bits, 8);
    Encode(context->digest, context->state, 16);
}

int ComputeMD5(const void* data, DWORD length, unsigned char* digest, DWORD digestSize)
{
    if (!data || length == 0 || !digest || digestSize != 16) return -1;
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, static_cast<const unsigned char*>(data), length);
    MD5Final(&ctx);
    std::memcpy(digest, ctx.digest, 16);
    return 0;
}

int CompareMD5(const void* data, DWORD length, const unsigned char* digest, DWORD digestSize)
{
    unsigned char actual[16];
    if (!digest || ComputeMD5(data, length, actual, sizeof actual) != 0 || digestSize != 16) return -1;
    return std::memcmp(actual, digest, 16) == 0 ? 0 : -1;
}

} // namespace Lumetra
