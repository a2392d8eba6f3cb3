// The entry-point guard: what each kind of escaped exception becomes, in the general form and
// in the Win32 and COM conventions, and that a body that returns is left alone.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "platform/Guarded.h"

namespace {

struct Escape {
  const char* what;
  std::function<void()> raise;
  EscapedException kind;
  HRESULT hresult;
};

const Escape kEscapes[] = {
    {"bad_alloc", [] { throw std::bad_alloc(); }, EscapedException::OutOfMemory, E_OUTOFMEMORY},
    {"system_error",
     [] {
       throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
     },
     EscapedException::SystemResource, E_OUTOFMEMORY},
    {"runtime_error", [] { throw std::runtime_error("fault"); }, EscapedException::Other,
     E_UNEXPECTED},
    {"int", [] { throw 7; }, EscapedException::Other, E_UNEXPECTED},
};

TEST(GuardedTest, EachEscapedExceptionBecomesTheResultOfItsKind) {
  for (const Escape& escape : kEscapes) {
    const int got = Guarded(
        [&]() -> int {
          escape.raise();
          return -1;
        },
        [](EscapedException kind) { return 100 + static_cast<int>(kind); });
    EXPECT_EQ(got, 100 + static_cast<int>(escape.kind)) << escape.what;

    EXPECT_EQ(GuardedHresult([&]() -> HRESULT {
                escape.raise();
                return S_OK;
              }),
              escape.hresult)
        << escape.what;

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GuardedLastError<BOOL>(FALSE,
                                     [&]() -> BOOL {
                                       escape.raise();
                                       return TRUE;
                                     }),
              FALSE)
        << escape.what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)) << escape.what;
  }
}

TEST(GuardedTest, ABodyThatReturnsKeepsItsResultAndTheLastError) {
  bool handlerRan = false;
  EXPECT_EQ(Guarded([] { return std::string("kept"); },
                    [&](EscapedException) {
                      handlerRan = true;
                      return std::string();
                    }),
            "kept");
  EXPECT_FALSE(handlerRan);

  EXPECT_EQ(GuardedHresult([] { return S_FALSE; }), S_FALSE);

  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GuardedLastError(static_cast<DWORD>(-1), [] { return DWORD{0x20}; }), DWORD{0x20});
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
