/* OvTelvanaPS.dll: proxies and stubs of the factory interfaces (widl's code) and the class
 * object COM asks for them; it serves them under our own class id rather than the first
 * interface's, which is what the registration names. */
#include <windows.h>

#include "TelvanaIds.h"

#define PROXY_CLSID_IS OVTELVANA_PS_CLSID_INIT
#include "dlldata.c"
