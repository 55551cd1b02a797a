// The console window that Explorer opens for a double-clicked program and
// closes the moment it ends: the run's verdict is held on screen until a
// key is pressed.
#pragma once

#include "messages/messages.h"
#include "platform/win32.h"

// True when standard input is a console and the parent process is Explorer;
// a start from a shell, a batch file or an agent is none.
bool StartedFromExplorer();

// Prints MsgPressAnyKey and waits for a key press, at most kHoldWindowMs;
// Ctrl+C or Ctrl+Break ends the wait as well.
void HoldWindowOpen(LanguageIndex language);

const DWORD kHoldWindowMs = 10 * 60 * 1000;
