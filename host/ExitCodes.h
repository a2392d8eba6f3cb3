// The exit codes of qvx's commands. 0 to 3 mean the same for every command; 4 and 5 are each
// command's own (named where the command defines them).
#pragma once

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoLibrary = 3;

// The commands that run the registered context-menu handler (menu, share).
inline constexpr int kExitNoHandler = 4;
inline constexpr int kExitNothingRun = 5;
