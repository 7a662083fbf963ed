// Reference work the measured paths are compared with, kept in its own file so the compiler
// cannot inline it into the timing loops.
#pragma once
#include <windows.h>

namespace Bench {

// An ordinary out-of-line call that compares a level with a threshold.
bool PlainLevelCheck(DWORD level);

// RC4 (key schedule, then the keystream XORed over the bytes), state in locals.
void PlainRc4(const BYTE* key, DWORD keyLength, const BYTE* input, BYTE* output, DWORD length);

} // namespace Bench
