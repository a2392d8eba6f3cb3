// qvx menu: the context menu the registered handlers build for a selection, shown or run the
// way a file manager shows it and runs the item a user picks.
#pragma once

// Runs "qvx menu [--run VERB|TEXT] [--from FILE|-] [--] PATH..." (argv[0] is "qvx", argv[1]
// "menu"); returns qvx's exit code.
int RunMenuCommand(int argc, char** argv);
