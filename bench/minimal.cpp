// The bare restart request: linked with the same entry and start-up code as
// reboot.exe and built with the same options, it is the yardstick for
// reboot.exe's size and speed.
#include <windows.h>

#include "reboot.h"

void Reboot()
{
    (void)ExitWindowsEx(EWX_REBOOT, 0);
}
