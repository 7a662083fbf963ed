// Stands in for a program that binds the log controller: builds an AutoLogController for the
// application name given as the first argument ("Kavo" when none), lets it go again, and exits
// with the controller's status. Tests copy it beside the Lognex.dll they want found.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "ETWLogging/LogController.h"

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring name = (argv && argc > 1) ? argv[1] : L"Kavo";
    if (argv) LocalFree(argv);

    DWORD status;
    {
        ETWLogging::AutoLogController controller(name.c_str());
        status = controller.GetStatus();
    }
    return static_cast<int>(status);
}
