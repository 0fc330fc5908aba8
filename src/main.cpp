#include <windows.h>

#include "reboot.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    Reboot();
    // The exit status is 0 whatever Windows answered; the box already told the
    // user about a refusal.
    ExitProcess(0);
}

// The linker places the image's own headers here, at the module's base address.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// Where the process starts, under the name every Windows linker looks for in a
// GUI program. No C runtime is linked: nothing here uses one, so none runs.
// WinMain gets the module's base address, which costs no call, and no command
// line: it reads none of its arguments, so nothing fetches them.
extern "C" void WinMainCRTStartup()
{
    WinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), NULL, NULL, SW_SHOWDEFAULT);
}
