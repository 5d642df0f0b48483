// Starting programs on the emulated machine. A host executable (ELF, or a script that
// begins with "#!") runs for real; a .bat or .cmd file runs in the built-in batch
// interpreter; a Windows image is only recorded in the journal, as this host cannot run it.
// Every start and every end is a journal line:
//   start <program> <arguments> [SW_…] (host program | batch file | Windows program, not run)
//   end <program> exit <code>
#pragma once

#include <string>
#include <vector>

#include "platform/Files.h"

namespace kv {

enum : UINT {
    SW_HIDE = 0,
    SW_SHOWNORMAL = 1,
    SW_NORMAL = 1,
    SW_SHOWMINIMIZED = 2,
    SW_SHOWMAXIMIZED = 3,
    SW_MAXIMIZE = 3,
    SW_SHOWNOACTIVATE = 4,
    SW_SHOW = 5,
    SW_MINIMIZE = 6,
    SW_SHOWMINNOACTIVE = 7,
    SW_SHOWNA = 8,
    SW_RESTORE = 9,
    SW_SHOWDEFAULT = 10,
};
std::string ShowWindowName(UINT cmdShow);  // "SW_HIDE", or the number

// Splits a command line as the class library's ParamStr does: blanks separate, double
// quotes group and are dropped, there are no escapes.
std::vector<std::string> SplitCommandLine(const std::string& cmdLine);

// Starts a program without waiting for it. The result is above 31 when it started;
// otherwise ERROR_FILE_NOT_FOUND (2), ERROR_PATH_NOT_FOUND (3) or ERROR_BAD_FORMAT (11).
// The program's name is found as Windows finds it: quoted, or the shortest run of words
// naming a file (".exe" added to a name without extension), in the current, system and
// Windows folders when it has no path. A host program gets the machine
// (KELVANE_MACHINE), its Windows current folder (KELVANE_CWD) and its arguments in UTF-8.
// A program started without waiting goes on after this process ends. This process must
// have a single thread when it starts one, as it forks.
UINT WinExec(const char* cmdLine, UINT cmdShow);
// The same; with Wait it returns once the program ended, with its exit code.
UINT StartProgram(const std::string& cmdLine, UINT cmdShow, bool wait, int* exitCode = nullptr);

// Runs a batch file in this process: @ECHO, ECHO, REM, labels, ERASE/DEL, DELTREE [/Y],
// MOVE, COPY. A command it does not know or that fails is journalled and the batch goes on.
int RunBatchFile(const std::string& winPath);

// This program's command line: ParamStr(0) is its Windows path.
std::string ParamStr(int index);
int ParamCount();
// Replaces the arguments ParamStr sees (tests, hosts that take them apart themselves).
void SetCommandLine(int argc, const char* const* argv);  // argv[0] is the program
void SetCommandLine(const std::vector<std::string>& args);  // without the program
DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size);

}  // namespace kv
