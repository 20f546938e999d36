// cardrw_wine_msgbox: the harness's self-check. Shows three known message boxes (an error box
// with a two-line text, a box without icon with OK and Cancel, a warning box without OK) and
// writes one line to standard output, as the uninstaller shows its boxes and writes its status
// lines.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    MessageBoxW(nullptr, L"First line, \n second line.", L"Harness  check", MB_ICONERROR | MB_OK);
    MessageBoxW(nullptr, L"No icon", L"Plain", MB_OKCANCEL);
    MessageBoxW(nullptr, L"Warned", L"Question", MB_ICONWARNING | MB_YESNO);

    const char line[] = "harness: status line\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, sizeof(line) - 1, &written, nullptr);
    return 0;
}
