// The smallest program that makes the same restart request, built with the
// same options: the yardstick for reboot.exe's size and speed.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    (void)ExitWindowsEx(EWX_REBOOT, 0);
    ExitProcess(0);
}
