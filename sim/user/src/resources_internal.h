// Simulated Win32 user mode: what the resource loader shares with the user interface.
#pragma once

#include "platform/user.h"

namespace sim::user {

// The program's module handle (GetModuleHandleW(nullptr)) or null, which means the same.
bool IsProgramInstance(HINSTANCE instance);
// The template of a dialog in the language the loader chooses, or nullptr.
const DialogTemplate* FindDialogTemplate(int id);
LANGID UserInterfaceLanguage();
void ResetResourceLanguage();

} // namespace sim::user
