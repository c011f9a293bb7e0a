// Windows: a console control handler takes Ctrl+C and Ctrl+Break while the
// job runs; it is called on a thread of its own.
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "platform/terminal.h"

namespace platform {

namespace {

std::atomic<std::atomic<bool>*> stopFlag{nullptr};
std::atomic<std::atomic<int>*> stopCount{nullptr};
std::atomic<int> stopsTaken{0};

// FALSE passes the event on to the default handler, which ends the process.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (std::atomic<int>* count = stopCount.load()) {
    ++*count;
    return TRUE;
  }
  std::atomic<bool>* stop = stopFlag.load();
  if (stop == nullptr || stopsTaken.fetch_add(1) > 0) return FALSE;
  stop->store(true);
  return TRUE;
}

}  // namespace

void CatchStopSignals(std::atomic<bool>& stop) {
  stopsTaken = 0;
  stopFlag = &stop;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void CountStopSignals(std::atomic<int>& count) {
  stopCount = &count;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void ReleaseStopSignals() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  stopFlag = nullptr;
  stopCount = nullptr;
}

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// Lines are redrawn only where the console takes escape sequences.
bool ErrorIsRedrawableTerminal() {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (error == INVALID_HANDLE_VALUE || !GetConsoleMode(error, &mode)) return false;
  return SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace platform
