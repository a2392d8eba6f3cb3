// CUserData session accessors.
#include "platform/WinTypes.h"
