// A small DLL that the build signs in the variants the trust tests need.
#include <windows.h>

extern "C" __declspec(dllexport) DWORD WINAPI TrustSampleValue()
{
    return 0x7E57u;
}
