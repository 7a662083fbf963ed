/* OvTelvanaPS.dll: widl's proxies and stubs of the factory interfaces and the class object that
 * COM asks for them. The class id is ours (TelvanaIds.h), the one the registration names; left
 * out, the generated routines would answer to the first interface's IID instead. */
#include <windows.h>

#include "TelvanaIds.h"

#define PROXY_CLSID_IS OVTELVANA_PS_CLSID_INIT
#include "dlldata.c"
