// qvx share: the sharing dialog of an encrypted file or container, opened as the file
// manager's context menu opens it (the registered handler's Sharing item), then the item's
// resulting user list read back from the file-encryption library.
#pragma once

// Runs "qvx share [--add USER]... [--remove USER]... [--] PATH" (argv[0] is "qvx", argv[1]
// "share"); returns qvx's exit code.
int RunShareCommand(int argc, char** argv);
