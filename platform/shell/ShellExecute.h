// Starting programs and opening documents: ShellExecuteA and ShellExecuteExA, with the process
// objects they hand out (waitable with WaitForSingleObject, read with GetExitCodeProcess,
// closed with CloseHandle).
//
// There is no shell and no command line on this side: a program is started with an argument
// vector, the parameter string is handed over as one argument exactly as given (never split,
// never quoted, never interpreted), and a document is given to the desktop opener. The opener
// is QV_OPEN_COMMAND when set (split into words at spaces, again without a shell), else
// xdg-open. Every started program gets only standard input, output and error from this
// process; its standard input is /dev/null unless ours is a terminal.
//
// Windows paths: "X:\dir\name" (either separator) is taken relative to the install folder, the
// folder of this library, where the suite's libraries and programs lie side by side; when that
// path does not exist, the last part alone is looked up in the install folder. A name ending in
// ".exe" that does not exist stands for the same name without it.
#pragma once

#include "platform/Handles.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

// Results of ShellExecuteA (and SHELLEXECUTEINFOA::hInstApp) at or below 32 are failures.
inline constexpr UINT SE_ERR_FNF = 2;
inline constexpr UINT SE_ERR_PNF = 3;
inline constexpr UINT SE_ERR_ACCESSDENIED = 5;
inline constexpr UINT SE_ERR_OOM = 8;
inline constexpr UINT SE_ERR_BAD_FORMAT = 11;
inline constexpr UINT SE_ERR_NOASSOC = 31;
// What ShellExecuteA returns when it started something (any value above 32 means success).
inline constexpr UINT SE_STARTED = 42;
// Last error of ShellExecuteExA when no program is associated with the document or verb.
inline constexpr DWORD ERROR_NO_ASSOCIATION = 1155;
// Last error when the file is marked executable but is no program this system can run.
inline constexpr DWORD ERROR_BAD_FORMAT = 11;

// SHELLEXECUTEINFOA::fMask. Class names, class keys and item identifier lists are not offered
// (ERROR_NOT_SUPPORTED); the other Windows flags are accepted and have nothing to change here.
inline constexpr ULONG SEE_MASK_DEFAULT = 0x00000000;
inline constexpr ULONG SEE_MASK_CLASSNAME = 0x00000001;
inline constexpr ULONG SEE_MASK_CLASSKEY = 0x00000003;
inline constexpr ULONG SEE_MASK_IDLIST = 0x00000004;
inline constexpr ULONG SEE_MASK_INVOKEIDLIST = 0x0000000C;
inline constexpr ULONG SEE_MASK_NOCLOSEPROCESS = 0x00000040;
inline constexpr ULONG SEE_MASK_NOASYNC = 0x00000100;
inline constexpr ULONG SEE_MASK_FLAG_NO_UI = 0x00000400;

struct SHELLEXECUTEINFOA {
  DWORD cbSize;  // must be sizeof(SHELLEXECUTEINFOA)
  ULONG fMask;
  HWND hwnd;  // owner window for error messages; none are shown, so it is not used
  LPCSTR lpVerb;
  LPCSTR lpFile;
  LPCSTR lpParameters;
  LPCSTR lpDirectory;
  INT nShow;           // there is no window placement to apply; accepted and not used
  HINSTANCE hInstApp;  // out: SE_STARTED, or the SE_ERR_* code of the failure
  void* lpIDList;
  LPCSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  union {
    HANDLE hIcon;
    HANDLE hMonitor;
  };
  HANDLE hProcess;  // out, with SEE_MASK_NOCLOSEPROCESS: the started process, or null
};
using LPSHELLEXECUTEINFOA = SHELLEXECUTEINFOA*;

// Opens `file` with `verb`. Verbs: null, "" or "open" (any letter case) start `file` when it is
// an executable file and open anything else (a document or a folder) with the desktop opener;
// "explore" opens a folder with the opener. `file` is an absolute path, a Windows path (see
// above) or a path relative to `directory` (else the current folder); a bare name that is not
// found there is looked up as a program on PATH. `parameters`, when not empty, is the one
// argument of a started program (a document opener gets the document's full path instead).
// `directory`, when given, is the started program's working folder. `hwnd` and `show` are not
// used. Returns SE_STARTED (> 32) when the program started, otherwise SE_ERR_FNF,
// SE_ERR_PNF (also for a `directory` that is not a folder), SE_ERR_ACCESSDENIED,
// SE_ERR_BAD_FORMAT, SE_ERR_OOM or SE_ERR_NOASSOC (unknown verb, or no opener installed).
// The process is not waited for; it is reaped when it ends.
QV_API HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, INT show) noexcept;

// The same with a request record. TRUE when something started; then, with
// SEE_MASK_NOCLOSEPROCESS, hProcess is a process handle the caller closes with CloseHandle
// (still reaped by this library, so the handle may be closed before the process ends).
// FALSE with the last error (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
// ERROR_BAD_FORMAT, ERROR_NO_ASSOCIATION, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER,
// ERROR_NOT_SUPPORTED) and hInstApp set to the matching SE_ERR_* code.
[[nodiscard]] QV_API BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) noexcept;

// STILL_ACTIVE while the process runs; then its exit status (0..255), or 128 + the signal
// number when a signal ended it. FALSE with ERROR_INVALID_HANDLE for a handle that is not a
// process, and with ERROR_ACCESS_DENIED when the process has ended but its status was taken
// by someone else (a waitpid(-1) elsewhere in this program, or SIGCHLD ignored).
[[nodiscard]] QV_API BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) noexcept;

// The process id of a process handle; 0 with ERROR_INVALID_HANDLE for any other handle.
QV_API DWORD GetProcessId(HANDLE process) noexcept;
