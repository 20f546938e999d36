// cardrw_wine_boxes LOG SECONDS STDOUT STDERR PROGRAM
//
// Starts PROGRAM with its standard output and error in the files STDOUT and STDERR, and until it
// ends watches for the message boxes it shows: each visible "#32770" window of the program is
// read (caption, the text of static control 65535, the icon, the buttons by id), written to LOG
// as one UTF-8 line and answered with BM_CLICK on OK (or on its first button when it has no OK).
// After SECONDS the program is ended. LOG's last line is "exit=<code>" or "timeout".
// Exit code: 0 when the program ended in time, 2 on time-out, 3 when it could not be started.
#include "boxes.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Log
// ---------------------------------------------------------------------------------------------

FILE* Log;

// UTF-8 with line breaks, tabs and backslashes escaped, so that one box is one line.
std::string Escape(const std::wstring& text)
{
    std::wstring escaped;
    for (wchar_t c : text) {
        if (c == L'\n')
            escaped += L"\\n";
        else if (c == L'\r')
            escaped += L"\\r";
        else if (c == L'\t')
            escaped += L"\\t";
        else if (c == L'\\')
            escaped += L"\\\\";
        else
            escaped += c;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, escaped.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, escaped.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

void LogLine(const std::string& line)
{
    fprintf(Log, "%s\n", line.c_str());
    fflush(Log);
}

// ---------------------------------------------------------------------------------------------
// Reading a box
// ---------------------------------------------------------------------------------------------

std::wstring WindowText(HWND window)
{
    if (!window)
        return L"";
    wchar_t buffer[4096];
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer),
                             SMTO_NORMAL, ReplyLimitMs, &length))
        return L"";
    buffer[length < 4096 ? length : 4095] = 0;
    return buffer;
}

const wchar_t* ButtonName(int id)
{
    switch (id) {
    case IDOK: return L"OK";
    case IDCANCEL: return L"Cancel";
    case IDABORT: return L"Abort";
    case IDRETRY: return L"Retry";
    case IDIGNORE: return L"Ignore";
    case IDYES: return L"Yes";
    case IDNO: return L"No";
    case IDTRYAGAIN: return L"TryAgain";
    case IDCONTINUE: return L"Continue";
    default: return nullptr;
    }
}

struct Button {
    HWND Window;
    int Id;
};

std::vector<Button> VisibleButtons(HWND box)
{
    std::vector<Button> buttons;
    HWND child = nullptr;
    while ((child = FindWindowExW(box, child, L"Button", nullptr)) != nullptr)
        if (IsWindowVisible(child))
            buttons.push_back({ child, GetDlgCtrlID(child) });
    return buttons;
}

std::wstring DescribeButtons(const std::vector<Button>& buttons)
{
    std::wstring names;
    for (const Button& button : buttons) {
        if (!names.empty())
            names += L",";
        const wchar_t* name = ButtonName(button.Id);
        names += name ? name : (L"id" + std::to_wstring(button.Id));
    }
    return names;
}

void ReadAndAnswer(HWND box)
{
    std::wstring caption = WindowText(box);
    std::wstring text = WindowText(GetDlgItem(box, 0xFFFF));
    std::vector<Button> buttons = VisibleButtons(box);
    const char* icon = IdentifyBoxIcon(box, 10000);

    LogLine("box caption=" + Escape(caption) + " | text=" + Escape(text) + " | icon=" + icon +
            " | buttons=" + Escape(DescribeButtons(buttons)));

    HWND answer = buttons.empty() ? nullptr : buttons.front().Window;
    for (const Button& button : buttons)
        if (button.Id == IDOK)
            answer = button.Window;
    if (answer) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(answer, BM_CLICK, 0, 0, SMTO_NORMAL, ReplyLimitMs, &result);
    }
}

// ---------------------------------------------------------------------------------------------
// Watching the program's windows
// ---------------------------------------------------------------------------------------------

struct Watch {
    DWORD ProcessId;
    std::vector<HWND> Answered;  // boxes already read; dropped once they are destroyed
    std::vector<HWND> Found;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM context)
{
    Watch* watch = reinterpret_cast<Watch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (owner == watch->ProcessId && lstrcmpW(className, L"#32770") == 0 && IsWindowVisible(window))
        watch->Found.push_back(window);
    return TRUE;
}

void AnswerNewBoxes(Watch* watch)
{
    std::vector<HWND> alive;
    for (HWND window : watch->Answered)
        if (IsWindow(window))
            alive.push_back(window);
    watch->Answered.swap(alive);

    watch->Found.clear();
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(watch));
    for (HWND box : watch->Found) {
        bool seen = false;
        for (HWND answered : watch->Answered)
            seen = seen || answered == box;
        if (seen)
            continue;
        // Any visible dialog is read, so that one that is no message box shows in the log too.
        watch->Answered.push_back(box);
        ReadAndAnswer(box);
    }
}

HANDLE OpenOutput(const wchar_t* path)
{
    SECURITY_ATTRIBUTES inherit = { sizeof(inherit), nullptr, TRUE };
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------------------------

int wmain(int argc, wchar_t** argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: cardrw_wine_boxes LOG SECONDS STDOUT STDERR PROGRAM\n");
        return 3;
    }
    Log = _wfopen(argv[1], L"wb");
    if (!Log)
        return 3;
    DWORD limitMs = static_cast<DWORD>(_wtoi(argv[2])) * 1000;

    int result = 3;
    HANDLE out = OpenOutput(argv[3]);
    HANDLE err = OpenOutput(argv[4]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + std::wstring(argv[5]) + L"\"";

    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE ||
        !CreateProcessW(argv[5], &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        LogLine("start failed: error " + std::to_string(GetLastError()));
    } else {
        Watch watch = { process.dwProcessId, {}, {} };
        DWORD start = GetTickCount();
        bool ended = false;
        while (!ended && GetTickCount() - start < limitMs) {
            AnswerNewBoxes(&watch);
            ended = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
        }
        if (ended) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            LogLine("exit=" + std::to_string(code));
            result = 0;
        } else {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
            LogLine("timeout");
            result = 2;
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE)
        CloseHandle(err);
    fclose(Log);
    return result;
}
