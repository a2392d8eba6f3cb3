// qvfsdll stand-in (filled in with the suite libraries).
#include "platform/WinTypes.h"
