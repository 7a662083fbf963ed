// Keyed byte cipher for values kept at rest, and the MD5 digest that guards their records.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>

namespace Lumetra {

// Key texts of the value records; the key bytes are the characters without terminator.
extern const char* const g_pszRegistryValueKey;
extern const char* const g_pszIniValueKey;
extern const char* const g_pszDefaultValueKey;

// RC4 key schedule and keystream with a running chain byte over the plaintext, so a changed
// byte alters everything after it. One object enciphers or deciphers one stream only.
class CValueCipher {
public:
    // A null key or a length below 1 selects the default key; rounds below 2 mean 1.
    CValueCipher(const void* key, int keyLength, int rounds);
    ~CValueCipher();
    CValueCipher(const CValueCipher&) = delete;
    CValueCipher& operator=(const CValueCipher&) = delete;

    // In-place use (input == output) is allowed.
    bool Encipher(const void* input, void* output, DWORD length);
    bool Decipher(const void* input, void* output, DWORD length);

private:
    BYTE NextKeyByte();

    BYTE m_s[256];
    BYTE m_i = 0;
    BYTE m_j = 0;
    bool m_keyed = false;
    int m_rounds = 1;
    BYTE m_inlineScratch[2 * 8];
    std::unique_ptr<BYTE[]> m_heapScratch;
    BYTE* m_a = nullptr;
    BYTE* m_b = nullptr;
    BYTE m_chain = 0;
    BYTE m_chainStart = 0;
};

// RFC 1321 context, fields in the order other components expect.
struct MD5_CTX {
    UINT32 count[2];      // message length in bits, low word first
    UINT32 state[4];
    unsigned char buffer[64];
    unsigned char digest[16];
};

void MD5Init(MD5_CTX* context);
void MD5Update(MD5_CTX* context, const unsigned char* input, UINT32 length);
void MD5Final(MD5_CTX* context);
void MD5Transform(UINT32 state[4], const unsigned char block[64]);

// 0 on success; -1 for a null/empty input, a null digest or a digest size other than 16.
int ComputeMD5(const void* data, DWORD length, unsigned char* digest, DWORD digestSize);
// 0 when the MD5 of the data equals the given digest; -1 on mismatch or bad arguments.
int CompareMD5(const void* data, DWORD length, const unsigned char* digest, DWORD digestSize);

} // namespace Lumetra
