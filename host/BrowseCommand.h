// qvx ls, qvx browse and qvx session: qvx as the file manager's window around a container.
// A path that runs through a container names a place inside it; qvx binds to that place the
// way the file manager does and shows what the library's view shows.
#pragma once

#include <memory>
#include <string>

class ContainerBrowser;

class TerminalBackend;

// The commands, argv as qvx got it (argv[1] is the command); each returns qvx's exit code.
int RunLsCommand(int argc, char** argv);
int RunBrowseCommand(int argc, char** argv);
int RunSessionCommand(int argc, char** argv);

// After ContainerBrowser::Open failed: prints "qvx COMMAND: ERROR" and returns the browser's
// exit code for the failure (ContainerBrowser::ExitCode).
int OpenFailure(const char* command, const ContainerBrowser& browser, const std::string& error);
// The terminal answers the library's prompts (the password) when nobody named a password file
// and there is a terminal to ask: it is installed as the back end and returned (null when not).
std::unique_ptr<TerminalBackend> TerminalForPrompts();
