// Export mark of the suite libraries: their interface functions and classes are visible
// to the product, everything else stays inside each library.
#pragma once

#define QV_SUITE_API __attribute__((visibility("default")))
