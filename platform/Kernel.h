// Kernel services: module handles, tick count and sleep, the user's language and the thread
// locale, named mutexes and registered window messages.
//
// Module handles are the load addresses of the shared objects of this process (the main
// program for a null name), found through the dynamic loader; a Windows library name
// "qvvault.dll" stands for "libqvvault.so". Named mutexes and the registered-message table
// live in the user's private runtime folder (QvRuntimeDir) so that every process of the user
// sees them, and nothing else does.
#pragma once

#include <string>

#include "platform/Handles.h"
#include "platform/WinTypes.h"

// ---- Modules ----

// The module of this process named `name`: "qvvault.dll", "qvvault" and "libqvvault.so" all
// name libqvvault.so; a name with a '/' is taken as a path. Null with ERROR_MOD_NOT_FOUND
// when no such module is loaded (nothing is ever loaded by this call). Null `name` gives the
// main program.
QV_API HMODULE GetModuleHandleA(LPCSTR name) noexcept;

// The module whose code or data holds `address` (a library passes one of its own functions
// to learn its own handle). Null with ERROR_MOD_NOT_FOUND when no module holds it.
QV_API HMODULE GetModuleHandleFromAddress(const void* address) noexcept;

// Full path of a module's file (null: the main program). Copies at most size - 1 characters
// and a NUL. Returns the length copied; when the path does not fit, returns `size` with the
// truncated path and ERROR_INSUFFICIENT_BUFFER. 0 with ERROR_MOD_NOT_FOUND for a handle that
// is not a loaded module.
QV_API DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) noexcept;

// Tests only: makes GetModuleHandleA report the module named `name` (any of the accepted
// forms) as not loaded while `hidden` holds.
QV_API void QvSetModuleHiddenForTest(const char* name, bool hidden) noexcept;

// ---- Time ----

// Milliseconds since boot, time asleep included (a session time-out counts the hours a
// machine spent suspended); the 32-bit count wraps after 49.7 days, so compare tick counts by
// subtraction.
QV_API DWORD GetTickCount() noexcept;
QV_API ULONGLONG GetTickCount64() noexcept;
// Makes this process leave no core dump: a dump of a program that held a user's keys or
// password would put them in a file.
QV_API void QvKeepOutOfCoreDumps() noexcept;
// Sleeps at least `milliseconds` (INFINITE: forever).
QV_API void Sleep(DWORD milliseconds) noexcept;

// ---- Machine ----

// The longest computer name GetComputerNameA hands out, without its terminator.
inline constexpr DWORD MAX_COMPUTERNAME_LENGTH = 255;

// The machine's host name ("localhost" when the system has none): the same name the suite's
// user store records. *size is the buffer's size in bytes on entry; on success it is the
// name's length without the terminator. FALSE with ERROR_BUFFER_OVERFLOW and *size set to the
// size needed (terminator included) when the buffer is too small.
QV_API BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) noexcept;

// ---- Language and locale ----

inline constexpr WORD SORT_DEFAULT = 0;

// The LANGID of a POSIX locale name ("de_DE.UTF-8" -> 0x0407, "zh_TW" -> 0x0404). A language
// known without its territory gives the language's main locale ("de_BE" -> 0x0407, "pt" ->
// 0x0416). "C" and "POSIX" give 0x0409. 0 for a language this table does not know.
QV_API LANGID LangIdFromLocaleName(const char* locale) noexcept;

// The user's language: the first non-empty of LC_ALL, LC_MESSAGES and LANG, else the first
// entry of LANGUAGE, mapped by LangIdFromLocaleName; US English (0x0409) when none is set or
// the language is unknown.
// There is no separate system language on Linux: both functions give the same value.
QV_API LANGID GetUserDefaultLangID() noexcept;
// The user's locale name as the environment gives it, in the order above ("de_DE.UTF-8");
// empty when none is set.
[[nodiscard]] QV_API std::string QvUserLocaleName();
QV_API LANGID GetSystemDefaultLangID() noexcept;
QV_API LCID GetUserDefaultLCID() noexcept;
QV_API LCID GetSystemDefaultLCID() noexcept;

// The calling thread's locale; a thread that never set one has the user default.
QV_API LCID GetThreadLocale() noexcept;
// Sets the calling thread's locale. LOCALE_SYSTEM_DEFAULT and LOCALE_USER_DEFAULT resolve to
// those defaults; a whole language (7 for German) is accepted like its locales. FALSE with
// ERROR_INVALID_PARAMETER for a locale the table does not know.
[[nodiscard]] QV_API BOOL SetThreadLocale(LCID locale) noexcept;
// The language of the thread locale, used to pick string tables.
QV_API LANGID GetThreadLangID() noexcept;

// ---- Named mutexes ----

// Creates or opens a mutex. A null or empty name gives a private mutex of this process.
// A named mutex is shared by every process of the user; the last error is
// ERROR_ALREADY_EXISTS when any handle to it was open already (in this or another process),
// in which case `initialOwner` is ignored, and ERROR_SUCCESS when this call created it.
// Names may carry a "Local\" or "Global\" prefix (both mean the user's namespace); the rest
// must hold no '\' or '/' and no control character and stay within MAX_PATH bytes
// (ERROR_INVALID_NAME otherwise). Null on failure. `securityAttributes` is ignored.
//
// Ownership belongs to a thread and is recursive; WaitForSingleObject takes it. A process
// that ends while owning the mutex (even by a crash) releases it, and the next waiter gets
// WAIT_ABANDONED. Unlike Windows, a thread that ends while owning does not abandon it: the
// mutex stays owned until it is released or this process closes its last handle to it.
QV_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES securityAttributes, BOOL initialOwner,
                           LPCSTR name) noexcept;
// Releases one level of the calling thread's ownership; FALSE with ERROR_NOT_OWNER when the
// thread does not own the mutex.
[[nodiscard]] QV_API BOOL ReleaseMutex(HANDLE mutex) noexcept;

// ---- Registered window messages ----

// The message id of `name` (0xC000..0xFFFF), the same in every process of the user and the
// same for names that differ only in ASCII letter case. 0 on failure (an empty name, a name
// longer than 255 bytes or with a control character, no runtime folder, or every id taken).
QV_API UINT RegisterWindowMessageA(LPCSTR name) noexcept;
