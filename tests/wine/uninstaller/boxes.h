// cardrw_wine_boxes: starts a program under a time limit, reads every message box it shows
// (caption, text, icon, buttons), logs it and answers it.
#pragma once
#include <windows.h>

// How long the box's thread may take to answer one message; generous, for a loaded machine.
constexpr UINT ReplyLimitMs = 10000;

// The standard icon a message box shows: "none", "error", "warning", "information", "question",
// or "unknown" when the icon control shows something else or could not be read in time.
const char* IdentifyBoxIcon(HWND box, DWORD limitMs);
