// The script: UTF-8 text, one command per line, words separated by spaces, a word with spaces
// in double quotes. Seeding commands and "expect-" checks may be mixed; each phase runs its own.
#include "state.h"

#include <cstdio>

namespace {

// ---------------------------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------------------------

bool ReadUtf8File(const std::wstring& path, std::wstring* text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);

    int chars = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    text->assign(chars, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), &(*text)[0], chars);
    return true;
}

Args SplitWords(const std::wstring& line)
{
    Args words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == L' ')
            i++;
        if (i >= line.size())
            break;
        std::wstring word;
        if (line[i] == L'"') {
            size_t end = line.find(L'"', i + 1);
            if (end == std::wstring::npos)
                end = line.size();
            word = line.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            size_t end = line.find(L' ', i);
            if (end == std::wstring::npos)
                end = line.size();
            word = line.substr(i, end - i);
            i = end;
        }
        words.push_back(word);
    }
    return words;
}

std::string Utf8(const std::wstring& text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------------------------

const Command* const CommandTables[] = { RegistryCommands, DeviceCommands, FileCommands,
                                         PrinterCommands };

const Command* FindCommand(const std::wstring& name)
{
    for (const Command* table : CommandTables)
        for (const Command* command = table; command->Name; command++)
            if (name == command->Name)
                return command;
    return nullptr;
}

bool IsCheck(const std::wstring& name)
{
    return name.compare(0, 7, L"expect-") == 0;
}

} // namespace

int RunScript(const std::wstring& script, bool checks)
{
    std::wstring text;
    if (!ReadUtf8File(script, &text)) {
        printf("cannot read the script %s\n", Utf8(script).c_str());
        return 2;
    }

    int result = 0;
    size_t start = 0;
    while (start < text.size() && result != 2) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();

        Args args = SplitWords(line);
        if (args.empty() || args[0][0] == L'#')
            continue;
        const Command* command = FindCommand(args[0]);
        if (!command || args.size() - 1 < command->MinArgs || args.size() - 1 > command->MaxArgs) {
            printf("bad script line: %s\n", Utf8(line).c_str());
            result = 2;
            continue;
        }
        if (IsCheck(args[0]) != checks)
            continue;

        std::wstring problem;
        if (!command->Handler(args, &problem)) {
            printf("%s: %s: %s\n", checks ? "FAIL" : "seed failed", Utf8(line).c_str(),
                   Utf8(problem).c_str());
            result = checks ? 1 : 2;
        }
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Shared helpers
// ---------------------------------------------------------------------------------------------

std::wstring ErrorText(DWORD error)
{
    return L"error " + std::to_wstring(error);
}

bool ExpectPresence(const std::wstring& presence, bool present, const std::wstring& what,
                    std::wstring* problem)
{
    if (presence != L"present" && presence != L"absent") {
        *problem = L"expected \"present\" or \"absent\"";
        return false;
    }
    if ((presence == L"present") == present)
        return true;
    *problem = what + (present ? L" is still there" : L" is missing");
    return false;
}
