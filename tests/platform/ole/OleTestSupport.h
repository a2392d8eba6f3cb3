// What the tests of the OLE data types share: a refusal check that reads the last error, a
// plain COM object to count references on, and BSTR / VARIANT shorthands. Leaks and stray
// reads are left to the sanitizer build to catch; the tests pin results, counts and layouts.
#pragma once

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "platform/LastError.h"
#include "platform/Ole.h"

// Expects `call` to fail (return 0 or null) and leave `error` behind.
#define EXPECT_REFUSED(call, error)                                \
  do {                                                             \
    SetLastError(0);                                               \
    EXPECT_FALSE((call)) << #call;                                 \
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(error)) << #call; \
  } while (false)

class Plain final : public ComObject<IUnknown> {};

inline constexpr LONG kLongMax = std::numeric_limits<LONG>::max();

inline ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

inline std::u16string BstrText(BSTR b) {
  return std::u16string(b == nullptr ? u"" : b, SysStringLen(b));
}

inline VARIANT MakeVariant(VARTYPE vt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  return v;
}
