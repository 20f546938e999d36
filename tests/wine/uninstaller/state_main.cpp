// cardrw_wine_state seed|check SCRIPT DATADIR
// cardrw_wine_state run SCRIPT DATADIR PROGRAM SECONDS [ARGUMENT...]
//   seed:  runs the script's seeding commands in order and stops at the first that fails;
//   check: runs every "expect-" command and prints one line per failed expectation;
//   run:   seeds, runs PROGRAM with the arguments (the message-box reader with the uninstaller)
//          for at most SECONDS, then checks, all in one process of the prefix.
// Exit code: 0, 1 when a check failed, 2 when seeding or the script failed, 3 when PROGRAM could
// not be run, did not end in time or ended with another exit code than 0.
#include "state.h"

#include <cstdio>

std::wstring DataDirectory;

namespace {

// Runs the program with its arguments, each quoted, and waits for it.
int RunProgram(int argc, wchar_t** argv)
{
    std::wstring commandLine;
    for (int i = 0; i < argc; i++) {
        if (i == 1)
            continue;  // the time limit is ours
        commandLine += (commandLine.empty() ? L"\"" : L" \"") + std::wstring(argv[i]) + L"\"";
    }
    DWORD limitMs = static_cast<DWORD>(_wtoi(argv[1])) * 1000;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[0], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        printf("run: cannot start the program: error %lu\n", GetLastError());
        return 3;
    }
    int result = 3;
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, limitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        printf("run: the program did not end within %lu s\n", limitMs / 1000);
    } else if (!GetExitCodeProcess(process.hProcess, &code) || code != 0) {
        printf("run: the program ended with exit code %lu\n", code);
    } else {
        result = 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    bool seed = argc == 4 && lstrcmpW(argv[1], L"seed") == 0;
    bool check = argc == 4 && lstrcmpW(argv[1], L"check") == 0;
    bool run = argc >= 6 && lstrcmpW(argv[1], L"run") == 0;
    if (!seed && !check && !run) {
        fprintf(stderr, "usage: cardrw_wine_state seed|check SCRIPT DATADIR\n"
                        "       cardrw_wine_state run SCRIPT DATADIR PROGRAM SECONDS [ARGUMENT...]\n");
        return 2;
    }
    DataDirectory = argv[3];
    if (!run)
        return RunScript(argv[2], check);

    int result = RunScript(argv[2], false);
    if (result == 0)
        result = RunProgram(argc - 4, argv + 4);
    fflush(stdout);
    if (result == 0)
        result = RunScript(argv[2], true);
    return result;
}
