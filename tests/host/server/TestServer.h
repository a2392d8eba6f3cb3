// The class and interface served by the loader tests' small server library, shared by the
// server and the tests so that both name the one interface type.
#pragma once

#include "platform/Com.h"

namespace testserver {

struct ITestAnswer : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x0B1E5A6C, 0x1D2E, 0x4F30, 0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8);
  virtual int Answer() = 0;
};

inline constexpr CLSID kTestClass =
    MakeGuid(0x0B1E5A6C, 0x1D2E, 0x4F30, 0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF9);

}  // namespace testserver
