// CardRwUninstall: the entry point, the hidden main dialog, the Windows version gate and the
// failure report. The whole uninstall runs inside the dialog's initialisation, on the one
// user-interface thread, and a successful run shows nothing.
#include "uninstaller/uninstaller.h"
#include "uninstaller/text.h"
#include "uninstaller/resources/resource.h"

HINSTANCE g_hInstance;
DWORD g_OsMajorVersion;
DWORD g_OsMinorVersion;

namespace {

// Room for the longest text of the string table in either language.
constexpr int STRING_CHARS = 256;

static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW as the version query expects it");

// ---------------------------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------------------------

BOOL QueryWindowsVersion(OSVERSIONINFOW* info)
{
    *info = OSVERSIONINFOW{};
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    return GetVersionExW(info);
}

// Loads a string of the program's string table; an id the table lacks gives an empty text.
void LoadText(UINT id, PWSTR buffer, int capacity)
{
    if (LoadStringW(g_hInstance, id, buffer, capacity) <= 0)
        buffer[0] = 0;
}

// The failure report: the text of IDS_ERROR followed by the code as "(0x%08x)".
void FormatErrorReport(PWSTR out, size_t capacity, PCWSTR errorText, DWORD code)
{
    static const char hexDigits[] = "0123456789abcdef";
    WCHAR codeText[] = TEXT("(0x00000000)");
    for (int digit = 0; digit < 8; digit++)
        codeText[3 + digit] = static_cast<WCHAR>(hexDigits[(code >> (28 - 4 * digit)) & 0xF]);

    text::Copy(out, capacity, errorText);
    text::Append(out, capacity, codeText);
}

void ShowWrongVersion()
{
    WCHAR message[STRING_CHARS];
    WCHAR caption[STRING_CHARS];
    LoadText(IDS_WRONG_VERSION, message, STRING_CHARS);
    LoadText(IDS_WARNING, caption, STRING_CHARS);
    MessageBoxW(nullptr, message, caption, MB_OK);
}

void ShowFailure(DWORD code)
{
    WCHAR errorText[STRING_CHARS];
    WCHAR message[STRING_CHARS + 16];
    LoadText(IDS_ERROR, errorText, STRING_CHARS);
    FormatErrorReport(message, STRING_CHARS + 16, errorText, code);
    MessageBoxW(nullptr, message, nullptr, MB_OK);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Version gate
// ---------------------------------------------------------------------------------------------

// Supported: Windows 5.0, 5.1, 5.2, 6.0, 6.1 and 6.2. Without operating-system entries in the
// manifest, later systems report 6.2 and pass.
BOOL IsUnsupportedWindowsVersion()
{
    OSVERSIONINFOW info;
    if (!QueryWindowsVersion(&info))
        return TRUE;
    if (info.dwMajorVersion < 5)
        return TRUE;
    if (info.dwPlatformId > VER_PLATFORM_WIN32_NT)
        return TRUE;
    if ((info.dwMajorVersion == 5 || info.dwMajorVersion == 6) && info.dwMinorVersion > 2)
        return TRUE;
    if (info.dwMajorVersion > 6)
        return TRUE;
    return FALSE;
}

// ---------------------------------------------------------------------------------------------
// The run
// ---------------------------------------------------------------------------------------------

void RunUninstall(HWND owner)
{
    OSVERSIONINFOW info;
    if (!QueryWindowsVersion(&info))
        return;
    if (IsUnsupportedWindowsVersion()) {
        ShowWrongVersion();
        return;
    }
    if (info.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return;

    g_OsMajorVersion = info.dwMajorVersion;
    g_OsMinorVersion = info.dwMinorVersion;

    DWORD result = PerformUninstall(owner);
    if (result != 0)
        ShowFailure(result);
}

// ---------------------------------------------------------------------------------------------
// Main dialog and entry point
// ---------------------------------------------------------------------------------------------

// Handles the initialisation only: the dialog stays hidden, runs the uninstall and ends, so its
// buttons are never reached.
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_INITDIALOG)
        return FALSE;

    WCHAR prompt[STRING_CHARS];
    LoadText(IDS_PROMPT, prompt, STRING_CHARS);
    SetDlgItemTextW(dialog, IDC_PROMPT, prompt);
    CheckRadioButton(dialog, IDC_DEVICE_RADIO, IDC_DEVICE_RADIO_LAST, IDC_DEVICE_RADIO);
    ShowWindow(dialog, SW_HIDE);
    RunUninstall(dialog);
    EndDialog(dialog, 0);
    return TRUE;
}

// The command line is not read; the exit code is always 0.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd)
{
    g_hInstance = hInstance;
    DialogBoxParamW(hInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    return 0;
}
