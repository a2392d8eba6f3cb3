// Converting a container made by an older version of the suite into the current format.
//
// The work is done by the suite's converter program, installed beside this library; this
// file only starts it on one container and waits for it. The calling thread blocks for the
// whole conversion (no messages are pumped), so callers run it where blocking is acceptable.
#pragma once

#include "platform/WinTypes.h"

// Runs the converter on `containerPath` (passed unchanged as the converter's one argument) and
// waits for it without limit. VARIANT_TRUE when the converter exits with code 0; VARIANT_FALSE
// when it cannot be started, its exit code cannot be read, or it reports a failure.
VARIANT_BOOL RunContainerConverter(const char* containerPath);
