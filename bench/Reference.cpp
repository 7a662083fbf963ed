#include "Reference.h"

namespace Bench {

namespace {
volatile DWORD g_threshold = 3;
}

bool PlainLevelCheck(DWORD level) { return level >= g_threshold; }

void PlainRc4(const BYTE* key, DWORD keyLength, const BYTE* input, BYTE* output, DWORD length)
{
    BYTE s[256];
    for (int n = 0; n < 256; ++n) s[n] = static_cast<BYTE>(n);
    BYTE j = 0;
    for (int n = 0; n < 256; ++n) {
        j = static_cast<BYTE>(j + key[n % keyLength] + s[n]);
        BYTE t = s[n];
        s[n] = s[j];
        s[j] = t;
    }
    BYTE i = 0;
    j = 0;
    for (DWORD n = 0; n < length; ++n) {
        i = static_cast<BYTE>(i + 1);
        BYTE si = s[i];
        j = static_cast<BYTE>(j + si);
        BYTE sj = s[j];
        s[i] = sj;
        s[j] = si;
        output[n] = static_cast<BYTE>(input[n] ^ s[static_cast<BYTE>(si + sj)]);
    }
}

} // namespace Bench
