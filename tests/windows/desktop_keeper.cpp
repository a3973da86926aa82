// Keeps the desktop of a test run's Wine prefix open until the run ends.
//   desktop_keeper.exe READY_FILE
//
// Wine starts explorer.exe for a desktop when a program first uses one (Qt's event dispatcher
// does, through its message window) and ends it seconds after the last such program. Started
// that way, explorer inherits the program's standard handles: it holds a test's output pipe open
// long after the program has exited, and the test waits for it. Started here, with handles that
// lead nowhere, it serves every program of the run.

#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 2;
    // A message-only window is enough to hold the desktop; explorer is up once it exists.
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
        GetModuleHandleW(nullptr), nullptr);
    if (!window)
        return 1;
    if (FILE* ready = _wfopen(argv[1], L"w"))
        std::fclose(ready);
    else
        return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
