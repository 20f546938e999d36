// Simulated Win32 user mode: the user interface (<winuser.h>) and the program's resources.
// Dialogs run without a screen: the dialog procedure gets WM_INITDIALOG, and a dialog that is
// not ended there is recorded as having become visible and waited for a user (it then returns
// at once). Message boxes are recorded and answered by the test. Strings, dialog templates and
// icons come from the resource script (.rc) that the Windows build compiles.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

// ======================================================================================
// Messages, styles, answers
// ======================================================================================

#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_CLOSE 0x0010

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_YESNO 0x00000004u
#define MB_ICONHAND 0x00000010u
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONASTERISK 0x00000040u
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_TYPEMASK 0x0000000Fu
#define MB_ICONMASK 0x000000F0u

#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001

#define ERROR_CONTROL_ID_NOT_FOUND 1421L

typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

extern "C" {
INT_PTR WINAPI DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam);
BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult);
BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString);
UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax);
BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton);
UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton);
BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
BOOL WINAPI IsWindowVisible(HWND hWnd);
int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
LANGID WINAPI GetUserDefaultUILanguage(void);
}

// ======================================================================================
// Test API
// ======================================================================================

namespace sim::user {

// ---- The resource script ----

struct DialogControl {
    std::string Kind;            // statement: DEFPUSHBUTTON, PUSHBUTTON, GROUPBOX, LTEXT, ICON, CONTROL ...
    std::u16string Text;         // text, or the icon resource's name for ICON
    int Id = -1;
    std::string ClassName;       // CONTROL only: "Button", "Static" ...
    std::vector<std::string> Styles;
};

struct DialogTemplate {
    int Id = 0;
    LANGID Language = 0;
    std::u16string Caption;
    std::u16string FontName;
    int FontSize = 0;
    std::vector<std::string> Styles;
    std::vector<DialogControl> Controls;
};

struct ResourceScript {
    std::string Path;
    std::map<LANGID, std::map<UINT, std::u16string>> Strings;   // per language
    std::vector<DialogTemplate> Dialogs;
    std::map<int, std::string> Icons;                           // icon group id -> file path
    std::map<int, std::string> Manifests;                       // manifest id -> file path
};

// Parses a resource script and makes it the program's resources (the module of
// GetModuleHandleW(nullptr)). Returns false, with the reason in *error, on a syntax it does not
// know or a missing included header.
bool LoadResourceScript(const std::string& path, std::string* error = nullptr);
const ResourceScript& LoadedResources();

// The user-interface language the resource loader chooses by (default 1033, English).
void SetUserInterfaceLanguage(LANGID language);

// ---- Dialogs and message boxes ----

struct DialogRun {
    int TemplateId = 0;
    LANGID Language = 0;
    HWND Owner = nullptr;
    bool ProcedureInitialised = false;   // WM_INITDIALOG delivered and returned
    bool EverVisible = false;            // shown on screen at any time
    bool WaitedForUser = false;          // not ended during initialisation
    bool Ended = false;
    INT_PTR Result = 0;
    std::map<int, std::u16string> ControlTexts;   // texts at the end of the run
    std::map<int, bool> Checked;                  // button check states at the end of the run
    std::vector<int> ShowCommands;                // ShowWindow calls on the dialog, in order
};

struct MessageBoxRecord {
    HWND Owner = nullptr;
    std::u16string Text;
    bool HasCaption = false;             // false: a null caption (the system's default caption)
    std::u16string Caption;
    UINT Flags = 0;
};

const std::vector<DialogRun>& DialogRuns();
const std::vector<MessageBoxRecord>& MessageBoxes();

// Answers every message box; the default answer is IDOK. The callback runs while the box is up,
// so a test can look at the installation at that moment.
void SetMessageBoxAnswer(std::function<int(const MessageBoxRecord&)> answer);

// Clears dialogs, message boxes, answers and the language; the loaded script stays.
void ResetUserInterface();

} // namespace sim::user
