#include <windows.h>

#include "reboot.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    Reboot();
    // The exit status is 0 whatever Windows answered; the box already told the
    // user about a refusal. Nothing of ours needs the runtime's exit handling.
    ExitProcess(0);
}
