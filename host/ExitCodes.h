// The exit codes of qvx's commands. 0 to 3 mean the same for every command; 4 and 5 are each
// command's own (named where the command defines them); 6 and 7 mean the same for every
// command that opens a place inside a container.
#pragma once

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoLibrary = 3;

// The commands that run the registered context-menu handler (menu, share).
inline constexpr int kExitNoHandler = 4;
inline constexpr int kExitNothingRun = 5;

// The commands that open a place inside a container (ls, browse): nothing is at the path, or
// the user was refused (a wrong password, or not one of the container's users).
inline constexpr int kExitNotFound = 6;
inline constexpr int kExitRefused = 7;
