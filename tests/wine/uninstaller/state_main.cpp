// cardrw_wine_state seed|check SCRIPT DATADIR
//   seed:  runs the script's seeding commands in order and stops at the first that fails;
//   check: runs every "expect-" command and prints one line per failed expectation.
#include "state.h"

#include <cstdio>

std::wstring DataDirectory;

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4 || (lstrcmpW(argv[1], L"seed") != 0 && lstrcmpW(argv[1], L"check") != 0)) {
        fprintf(stderr, "usage: cardrw_wine_state seed|check SCRIPT DATADIR\n");
        return 2;
    }
    DataDirectory = argv[3];
    return RunScript(argv[2], lstrcmpW(argv[1], L"check") == 0);
}
