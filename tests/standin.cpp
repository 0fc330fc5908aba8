// A stand-in for reboot.exe in the harness's own test, so that each way a run can go
// wrong is seen to be caught: with the argument "hang" it never ends; with "leave" it
// starts a copy of itself that never ends, and ends at once; with "box" it shows a box.
#include <windows.h>

extern "C" void WinMainCRTStartup()
{
    const char* line = GetCommandLineA();
    const int length = lstrlenA(line);
    if (length > 5 && lstrcmpA(line + length - 5, "leave") == 0) {
        char path[MAX_PATH + 8];
        path[0] = '"';
        (void)GetModuleFileNameA(NULL, path + 1, MAX_PATH);
        lstrcatA(path, "\" hang");
        STARTUPINFOA startup;  // the parent's: no C runtime zeroes one
        GetStartupInfoA(&startup);
        PROCESS_INFORMATION started;
        if (CreateProcessA(NULL, path, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &started)) {
            CloseHandle(started.hThread);
            CloseHandle(started.hProcess);
        }
        ExitProcess(0);
    }
    if (length > 3 && lstrcmpA(line + length - 3, "box") == 0) {
        MessageBoxA(NULL, "A stand-in's box", "Stand-in", MB_OK);
        ExitProcess(0);
    }
    Sleep(INFINITE);
    ExitProcess(0);
}
