// qvx ls, qvx browse and qvx session: qvx as the file manager's window around a container.
// A path that runs through a container names a place inside it; qvx binds to that place the
// way the file manager does and shows what the library's view shows.
#pragma once

// The commands, argv as qvx got it (argv[1] is the command); each returns qvx's exit code.
int RunLsCommand(int argc, char** argv);
int RunBrowseCommand(int argc, char** argv);
int RunSessionCommand(int argc, char** argv);
