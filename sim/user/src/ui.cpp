// Simulated Win32 user mode: dialogs and message boxes without a screen. Like the real user
// interface, these calls belong to one user-interface thread; they take no locks.
//
// A dialog is created from its template hidden unless the template says WS_VISIBLE, gets
// WM_INITDIALOG, and returns at once when the procedure ended it there. A dialog still running
// after its initialisation would be shown and wait for a user: the run records that, and the
// simulated user closes it (IDCANCEL).
#include "platform/user.h"
#include "sim/user/src/resources_internal.h"

#include <algorithm>
#include <memory>

namespace sim::user {

namespace {

struct Window {
    const DialogTemplate* Template = nullptr;
    size_t RunIndex = 0;
    bool Visible = false;
    bool Ended = false;
    INT_PTR Result = 0;
};

struct UiState {
    std::vector<std::unique_ptr<Window>> Windows;     // live dialogs
    std::vector<DialogRun> Runs;
    std::vector<MessageBoxRecord> Boxes;
    std::function<int(const MessageBoxRecord&)> Answer;
};

UiState g_ui;

Window* FindWindow(HWND handle)
{
    for (auto& window : g_ui.Windows) {
        if (reinterpret_cast<HWND>(window.get()) == handle)
            return window.get();
    }
    return nullptr;
}

Window* FindWindowOrFail(HWND handle)
{
    Window* window = FindWindow(handle);
    if (window == nullptr)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return window;
}

bool HasControl(const Window* window, int id)
{
    for (const auto& control : window->Template->Controls) {
        if (control.Id == id)
            return true;
    }
    return false;
}

bool HasStyle(const std::vector<std::string>& styles, const char* name)
{
    return std::find(styles.begin(), styles.end(), name) != styles.end();
}

DialogRun& RunOf(const Window* window)
{
    return g_ui.Runs[window->RunIndex];
}

void SetVisible(Window* window, bool visible)
{
    window->Visible = visible;
    if (visible)
        RunOf(window).EverVisible = true;
}

} // namespace

const std::vector<DialogRun>& DialogRuns()
{
    return g_ui.Runs;
}

const std::vector<MessageBoxRecord>& MessageBoxes()
{
    return g_ui.Boxes;
}

void SetMessageBoxAnswer(std::function<int(const MessageBoxRecord&)> answer)
{
    g_ui.Answer = std::move(answer);
}

void ResetUserInterface()
{
    g_ui = UiState{};
    ResetResourceLanguage();
}

} // namespace sim::user

using namespace sim::user;

// ---------------------------------------------------------------------------------------------
// Dialogs
// ---------------------------------------------------------------------------------------------

extern "C" INT_PTR WINAPI DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                                          DLGPROC lpDialogFunc, LPARAM dwInitParam)
{
    if (hWndParent != nullptr && FindWindowOrFail(hWndParent) == nullptr)
        return 0;
    ULONG_PTR name = reinterpret_cast<ULONG_PTR>(lpTemplateName);
    const DialogTemplate* dialogTemplate = nullptr;
    if (IsProgramInstance(hInstance) && name <= 0xFFFF)
        dialogTemplate = FindDialogTemplate(static_cast<int>(name));
    if (dialogTemplate == nullptr || lpDialogFunc == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }

    DialogRun run;
    run.TemplateId = dialogTemplate->Id;
    run.Language = dialogTemplate->Language;
    run.Owner = hWndParent;
    for (const auto& control : dialogTemplate->Controls) {
        if (control.Id != -1)
            run.ControlTexts[control.Id] = control.Text;
    }
    g_ui.Runs.push_back(run);

    auto owned = std::make_unique<Window>();
    Window* window = owned.get();
    window->Template = dialogTemplate;
    window->RunIndex = g_ui.Runs.size() - 1;
    g_ui.Windows.push_back(std::move(owned));
    HWND handle = reinterpret_cast<HWND>(window);
    SetVisible(window, HasStyle(dialogTemplate->Styles, "WS_VISIBLE"));

    lpDialogFunc(handle, WM_INITDIALOG, 0, dwInitParam);
    RunOf(window).ProcedureInitialised = true;
    if (!window->Ended) {
        // The modal loop would show the dialog and wait; the simulated user closes it.
        RunOf(window).WaitedForUser = true;
        SetVisible(window, true);
        window->Ended = true;
        window->Result = IDCANCEL;
    }

    INT_PTR result = window->Result;
    DialogRun& finished = RunOf(window);
    finished.Ended = true;
    finished.Result = result;
    g_ui.Windows.erase(std::find_if(g_ui.Windows.begin(), g_ui.Windows.end(),
                                    [window](const auto& w) { return w.get() == window; }));
    return result;
}

extern "C" BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult)
{
    Window* window = FindWindowOrFail(hDlg);
    if (window == nullptr)
        return FALSE;
    window->Ended = true;
    window->Result = nResult;
    window->Visible = false;
    return TRUE;
}

extern "C" BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString)
{
    Window* window = FindWindowOrFail(hDlg);
    if (window == nullptr)
        return FALSE;
    if (!HasControl(window, nIDDlgItem)) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return FALSE;
    }
    RunOf(window).ControlTexts[nIDDlgItem] = lpString != nullptr ? lpString : u"";
    return TRUE;
}

extern "C" UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax)
{
    Window* window = FindWindowOrFail(hDlg);
    if (window == nullptr || cchMax <= 0)
        return 0;
    if (!HasControl(window, nIDDlgItem)) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        lpString[0] = 0;
        return 0;
    }
    const std::u16string& text = RunOf(window).ControlTexts[nIDDlgItem];
    UINT count = static_cast<UINT>(std::min<size_t>(text.size(), static_cast<size_t>(cchMax - 1)));
    std::copy(text.begin(), text.begin() + count, lpString);
    lpString[count] = 0;
    return count;
}

// Checks one button and clears the others of the range that exist.
extern "C" BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton)
{
    Window* window = FindWindowOrFail(hDlg);
    if (window == nullptr)
        return FALSE;
    if (!HasControl(window, nIDCheckButton)) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return FALSE;
    }
    for (int id = nIDFirstButton; id <= nIDLastButton; id++) {
        if (HasControl(window, id))
            RunOf(window).Checked[id] = (id == nIDCheckButton);
    }
    return TRUE;
}

extern "C" UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton)
{
    Window* window = FindWindowOrFail(hDlg);
    if (window == nullptr)
        return BST_UNCHECKED;
    auto it = RunOf(window).Checked.find(nIDButton);
    return it != RunOf(window).Checked.end() && it->second ? BST_CHECKED : BST_UNCHECKED;
}

// Returns whether the window was visible before.
extern "C" BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow)
{
    Window* window = FindWindowOrFail(hWnd);
    if (window == nullptr)
        return FALSE;
    bool wasVisible = window->Visible;
    RunOf(window).ShowCommands.push_back(nCmdShow);
    SetVisible(window, nCmdShow != SW_HIDE);
    return wasVisible ? TRUE : FALSE;
}

extern "C" BOOL WINAPI IsWindowVisible(HWND hWnd)
{
    Window* window = FindWindow(hWnd);
    return window != nullptr && window->Visible;
}

// ---------------------------------------------------------------------------------------------
// Message boxes
// ---------------------------------------------------------------------------------------------

// Recorded, then answered by the test. A box with only an OK button can only give IDOK.
extern "C" int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    if (hWnd != nullptr && FindWindowOrFail(hWnd) == nullptr)
        return 0;
    MessageBoxRecord record;
    record.Owner = hWnd;
    record.Text = lpText != nullptr ? lpText : u"";
    record.HasCaption = lpCaption != nullptr;
    record.Caption = lpCaption != nullptr ? lpCaption : u"";
    record.Flags = uType;
    g_ui.Boxes.push_back(record);

    int answer = g_ui.Answer ? g_ui.Answer(record) : IDOK;
    if ((uType & MB_TYPEMASK) == MB_OK)
        answer = IDOK;
    return answer;
}
