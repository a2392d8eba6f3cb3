// OLE data types: task allocator, BSTR, UTF-8 / UTF-16 conversion, VARIANT and SAFEARRAY (the
// row arrays the container listings fill) and HGLOBAL blocks. Leaks and stray reads are left to
// the sanitizer build to catch; the tests pin results, counts and layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/Ole.h"

namespace {

// An object whose references are counted by the tests.
class Counted final : public ComObject<IUnknown> {
 public:
  explicit Counted(int* alive) : alive_(alive) { ++*alive_; }

 private:
  ~Counted() override { --*alive_; }
  int* alive_;
};

constexpr LONG kLongMin = std::numeric_limits<LONG>::min();
constexpr LONG kLongMax = std::numeric_limits<LONG>::max();

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

std::u16string BstrText(BSTR b) { return std::u16string(b == nullptr ? u"" : b, SysStringLen(b)); }

// ---- Task allocator ---------------------------------------------------------------------------

TEST(OleTaskAllocatorTest, SizesFollowAllocAndRealloc) {
  IMalloc* allocator = nullptr;
  ASSERT_EQ(SHGetMalloc(&allocator), S_OK);
  ASSERT_NE(allocator, nullptr);

  auto* block = static_cast<char*>(allocator->Alloc(10));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(allocator->GetSize(block), 10u);
  std::memcpy(block, "0123456789", 10);
  block = static_cast<char*>(CoTaskMemRealloc(block, 4000));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(allocator->GetSize(block), 4000u);
  EXPECT_EQ(std::memcmp(block, "0123456789", 10), 0);
  block = static_cast<char*>(allocator->Realloc(block, 3));
  EXPECT_EQ(allocator->GetSize(block), 3u);
  EXPECT_EQ(std::memcmp(block, "012", 3), 0);
  CoTaskMemFree(block);  // either entry point frees what the other allocated

  void* empty = CoTaskMemAlloc(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(allocator->GetSize(empty), 0u);
  EXPECT_EQ(CoTaskMemRealloc(empty, 0), nullptr) << "realloc to 0 frees";
  EXPECT_EQ(allocator->GetSize(nullptr), static_cast<SIZE_T>(-1));
  EXPECT_EQ(CoTaskMemAlloc(SIZE_MAX), nullptr);
  CoTaskMemFree(nullptr);
  allocator->Release();
}

TEST(OleTaskAllocatorTest, SharedAllocatorAnswersItsInterfaces) {
  IMalloc* first = nullptr;
  IMalloc* second = nullptr;
  ASSERT_EQ(SHGetMalloc(&first), S_OK);
  ASSERT_EQ(CoGetMalloc(MEMCTX_TASK, &second), S_OK);
  EXPECT_EQ(first, second);

  void* out = nullptr;
  ASSERT_EQ(first->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(first));
  static_cast<IUnknown*>(out)->Release();
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(first->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(first->DidAlloc(nullptr), -1);

  EXPECT_EQ(SHGetMalloc(nullptr), E_POINTER);
  IMalloc* none = nullptr;
  EXPECT_EQ(CoGetMalloc(0, &none), E_INVALIDARG);
  EXPECT_EQ(none, nullptr);
  first->Release();
  second->Release();
  // Over-releasing the shared allocator must not destroy it.
  first->Release();
  void* stillWorks = first->Alloc(8);
  EXPECT_EQ(first->GetSize(stillWorks), 8u);
  first->Free(stillWorks);
}

TEST(OleTaskAllocatorDeathTest, FreeingAForeignPointerStopsInsteadOfCorrupting) {
  alignas(16) static char buffer[64] = {};
  EXPECT_DEATH(CoTaskMemFree(buffer + 32), "not allocated here");
}

// ---- BSTR -------------------------------------------------------------------------------------

TEST(OleBstrTest, LengthsAndTerminators) {
  BSTR text = SysAllocString(u"abc");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 3u);
  EXPECT_EQ(SysStringByteLen(text), 6u);
  EXPECT_EQ(text[3], u'\0');
  SysFreeString(text);

  const char16_t withNuls[] = u"a\0b\0";
  BSTR embedded = SysAllocStringLen(withNuls, 4);
  ASSERT_NE(embedded, nullptr);
  EXPECT_EQ(SysStringLen(embedded), 4u);
  EXPECT_EQ(BstrText(embedded), std::u16string(withNuls, 4));
  EXPECT_EQ(embedded[4], u'\0');
  SysFreeString(embedded);

  BSTR zeroed = SysAllocStringLen(nullptr, 5);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(BstrText(zeroed), std::u16string(5, u'\0'));
  SysFreeString(zeroed);

  // A byte length keeps odd counts; the character count rounds down and the text stays
  // terminated after the last byte.
  BSTR bytes = SysAllocStringByteLen("xyz", 3);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(SysStringByteLen(bytes), 3u);
  EXPECT_EQ(SysStringLen(bytes), 1u);
  EXPECT_EQ(std::memcmp(bytes, "xyz", 3), 0);
  EXPECT_EQ(reinterpret_cast<const char*>(bytes)[3], '\0');
  EXPECT_EQ(bytes[2], u'\0');
  SysFreeString(bytes);

  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr) << "an empty BSTR is not a null BSTR";
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr) << "byte length overflows 32 bits";
}

TEST(OleBstrTest, ReallocationMayReadFromTheOldString) {
  BSTR text = SysAllocString(u"hello world");
  ASSERT_TRUE(SysReAllocString(&text, text + 6));
  EXPECT_EQ(BstrText(text), u"world");
  ASSERT_TRUE(SysReAllocStringLen(&text, text + 1, 3));
  EXPECT_EQ(BstrText(text), u"orl");
  // Without a source the old text is kept as far as it fits.
  ASSERT_TRUE(SysReAllocStringLen(&text, nullptr, 5));
  EXPECT_EQ(BstrText(text), std::u16string(u"orl\0\0", 5));
  ASSERT_TRUE(SysReAllocString(&text, nullptr));
  EXPECT_EQ(text, nullptr);
  EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

// ---- UTF-8 / UTF-16 ---------------------------------------------------------------------------

TEST(OleTextConversionTest, RoundTripsIncludingSupplementaryPlanes) {
  struct Case {
    const char* utf8;
    const char16_t* utf16;
  };
  const Case cases[] = {
      {"plain ascii", u"plain ascii"},
      {"caf\xC3\xA9 \xC3\x9F", u"caf\u00E9 \u00DF"},
      {"\xE6\x97\xA5\xE6\x9C\xAC", u"\u65E5\u672C"},
      {"\xF0\x9D\x84\x9E", u"\U0001D11E"},
      {"a\xF0\x9F\x98\x80z\xF4\x8F\xBF\xBF", u"a\U0001F600z\U0010FFFF"},
      {"\xEF\xBF\xBD\xEE\x80\x80", u"\uFFFD\uE000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8);

    BSTR b = SysAllocStringFromUtf8(c.utf8);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(BstrText(b), c.utf16);
    EXPECT_EQ(Utf8FromBstr(b), c.utf8);
    SysFreeString(b);
  }
  EXPECT_EQ(Utf8ToUtf16(""), u"");
  BSTR empty = SysAllocStringFromUtf8("");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
  EXPECT_EQ(Utf8FromBstr(nullptr), "");

  // Embedded NULs survive the trip through a BSTR.
  const std::string withNul("a\0b", 3);
  BSTR b = SysAllocStringFromUtf8(withNul);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(Utf8FromBstr(b), withNul);
  SysFreeString(b);
}

TEST(OleTextConversionTest, SizeQueriesAndShortBuffers) {
  // "h\u00E9llo": 6 bytes, 5 characters; with -1 the NUL is converted and counted.
  const char* text = "h\xC3\xA9llo";
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), 6);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, 6, nullptr, 0), 5);

  char16_t wide[8];
  std::fill(std::begin(wide), std::end(wide), u'#');
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, wide, 6), 6);
  EXPECT_EQ(std::u16string(wide), u"h\u00E9llo");
  EXPECT_EQ(wide[6], u'#');

  std::fill(std::begin(wide), std::end(wide), u'#');
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 5), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(wide[5], u'#') << "nothing written past the buffer";

  // A surrogate pair needs two units; a buffer that holds only one is too small.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(wide[1], u'#');

  const char16_t* utf16 = u"h\u00E9\U0001F600";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, utf16, -1, nullptr, 0, nullptr, nullptr), 8);
  char narrow[10];
  std::memset(narrow, '#', sizeof narrow);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, utf16, -1, narrow, 7, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(narrow[7], '#');
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, utf16, -1, narrow, 8, nullptr, nullptr), 8);
  EXPECT_STREQ(narrow, "h\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(OleTextConversionTest, RefusesBadArguments) {
  char16_t wide[4];
  char narrow[4];
  struct Call {
    const char* what;
    std::function<int()> run;
    LSTATUS error;
  };
  const Call calls[] = {
      {"zero length", [&] { return MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"length below -1", [&] { return MultiByteToWideChar(CP_ACP, 0, "a", -2, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"null source", [&] { return MultiByteToWideChar(CP_ACP, 0, nullptr, 1, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"null destination", [&] { return MultiByteToWideChar(CP_ACP, 0, "a", 1, nullptr, 4); },
       ERROR_INVALID_PARAMETER},
      {"negative size", [&] { return MultiByteToWideChar(CP_ACP, 0, "a", 1, wide, -1); },
       ERROR_INVALID_PARAMETER},
      {"other code page", [&] { return MultiByteToWideChar(1252, 0, "a", 1, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"flags on UTF-8",
       [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 4); },
       ERROR_INVALID_FLAGS},
      {"unknown flag", [&] { return MultiByteToWideChar(CP_ACP, 0x100, "a", 1, wide, 4); },
       ERROR_INVALID_FLAGS},
      {"wide zero length",
       [&] { return WideCharToMultiByte(CP_ACP, 0, u"a", 0, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"wide null destination",
       [&] { return WideCharToMultiByte(CP_ACP, 0, u"a", 1, nullptr, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"wide other code page",
       [&] { return WideCharToMultiByte(437, 0, u"a", 1, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"default char with UTF-8",
       [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, "?", nullptr); },
       ERROR_INVALID_PARAMETER},
      {"wide flags on UTF-8",
       [&] {
         return WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", 1, narrow, 4, nullptr,
                                    nullptr);
       },
       ERROR_INVALID_FLAGS},
  };
  for (const Call& call : calls) {
    SetLastError(0);
    EXPECT_EQ(call.run(), 0) << call.what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(call.error)) << call.what;
  }
}

TEST(OleTextConversionTest, IllFormedUtf8BecomesReplacementCharacters) {
  struct Case {
    std::string input;
    std::u16string expected;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"\x80"s, u"\uFFFD"},  // stray continuation
      {"a\xFF"s
       "b",
       u"a\uFFFDb"},                                        // never a lead byte
      {"\xC3"s, u"\uFFFD"},                                 // truncated at the end
      {"\xE2\x82"s, u"\uFFFD"},                             // truncated 3-byte, one U+FFFD
      {"\xF0\x9F\x98"s, u"\uFFFD"},                         // truncated 4-byte
      {"\xE2\x82x"s, u"\uFFFDx"},                           // interrupted sequence
      {"\xC0\xAF"s, u"\uFFFD\uFFFD"},                       // overlong
      {"\xE0\x80\xAF"s, u"\uFFFD\uFFFD\uFFFD"},             // overlong 3-byte
      {"\xED\xA0\x80"s, u"\uFFFD\uFFFD\uFFFD"},             // encoded surrogate
      {"\xF4\x90\x80\x80"s, u"\uFFFD\uFFFD\uFFFD\uFFFD"},   // above U+10FFFF
      {"\xF5\x80"s, u"\uFFFD\uFFFD"},                       // invalid lead
      {"ok\0\xC3\xA9"s, std::u16string(u"ok\0\u00E9", 4)},  // NUL inside explicit length
  };
  for (const Case& c : cases) {
    // A heap copy of exactly the input's size: a read past it is caught by the sanitizer.
    auto exact = std::make_unique<char[]>(c.input.size());
    std::memcpy(exact.get(), c.input.data(), c.input.size());
    const int n = static_cast<int>(c.input.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, exact.get(), n, nullptr, 0);
    std::u16string out(static_cast<size_t>(needed), u'#');
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, exact.get(), n, out.data(), needed), needed);
    EXPECT_EQ(out, c.expected) << "input of " << c.input.size() << " bytes";

    const bool wellFormed = c.expected.find(u'\uFFFD') == std::u16string::npos;
    SetLastError(0);
    const int strict =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, exact.get(), n, nullptr, 0);
    if (wellFormed) {
      EXPECT_EQ(strict, needed);
    } else {
      EXPECT_EQ(strict, 0);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    }
  }
}

TEST(OleTextConversionTest, UnpairedSurrogatesBecomeReplacementCharacters) {
  struct Case {
    std::u16string input;
    std::string expected;
  };
  const Case cases[] = {
      {std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"},  // high at the end
      {std::u16string{char16_t(0xDE00), u'a'},
       "\xEF\xBF\xBD"
       "a"},                                                                             // lone low
      {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // reversed
      {std::u16string{char16_t(0xD83D), u'x', char16_t(0xDE00)}, "\xEF\xBF\xBDx\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    auto exact = std::make_unique<char16_t[]>(c.input.size());
    std::memcpy(exact.get(), c.input.data(), c.input.size() * sizeof(char16_t));
    const int n = static_cast<int>(c.input.size());
    EXPECT_EQ(Utf16ToUtf8(std::u16string_view(exact.get(), c.input.size())), c.expected);

    BOOL usedDefault = FALSE;
    char out[16];
    const int written =
        WideCharToMultiByte(CP_ACP, 0, exact.get(), n, out, sizeof out, nullptr, &usedDefault);
    EXPECT_EQ(std::string(out, static_cast<size_t>(written)), c.expected);
    EXPECT_TRUE(usedDefault);

    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, exact.get(), n, out, sizeof out,
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  }
  BOOL usedDefault = TRUE;
  char out[4];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"ok", 2, out, 4, nullptr, &usedDefault), 2);
  EXPECT_FALSE(usedDefault);
}

// ---- VARIANT ----------------------------------------------------------------------------------

TEST(OleVariantTest, ClearAndCopyOwnTheirValues) {
  VARIANT text;
  VariantInit(&text);
  EXPECT_EQ(text.vt, VT_EMPTY);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocStringLen(u"x\0y", 3);

  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &text), S_OK);
  EXPECT_EQ(copy.vt, VT_BSTR);
  EXPECT_NE(copy.bstrVal, text.bstrVal) << "a BSTR is copied, not shared";
  EXPECT_EQ(BstrText(copy.bstrVal), std::u16string(u"x\0y", 3));

  int alive = 0;
  auto* object = new Counted(&alive);
  VARIANT unknown;
  VariantInit(&unknown);
  unknown.vt = VT_UNKNOWN;
  unknown.punkVal = object;  // takes the creator's reference

  // Copying over a BSTR frees it and takes a reference on the object.
  ASSERT_EQ(VariantCopy(&copy, &unknown), S_OK);
  EXPECT_EQ(copy.punkVal, object);
  EXPECT_EQ(RefCount(object), 2u);
  ASSERT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(copy.vt, VT_EMPTY);
  EXPECT_EQ(RefCount(object), 1u);

  ASSERT_EQ(VariantCopy(&unknown, &unknown), S_OK) << "copy onto itself changes nothing";
  EXPECT_EQ(RefCount(object), 1u);
  ASSERT_EQ(VariantClear(&unknown), S_OK);
  EXPECT_EQ(alive, 0);
  ASSERT_EQ(VariantClear(&text), S_OK);

  // Scalars copy as they are.
  VARIANT number;
  VariantInit(&number);
  number.vt = VT_I8;
  number.llVal = -5'000'000'000LL;
  ASSERT_EQ(VariantCopy(&copy, &number), S_OK);
  EXPECT_EQ(copy.vt, VT_I8);
  EXPECT_EQ(copy.llVal, -5'000'000'000LL);
}

TEST(OleVariantTest, UnknownTypesAreRefusedAndLeaveTheDestination) {
  VARIANT dest;
  VariantInit(&dest);
  dest.vt = VT_I4;
  dest.lVal = 42;
  for (VARTYPE vt : {VARTYPE(VT_DISPATCH), VARTYPE(VT_DECIMAL), VARTYPE(VT_VECTOR | VT_I4),
                     VARTYPE(0x7FFF), VARTYPE(VT_ARRAY | VT_EMPTY)}) {
    VARIANT bad;
    VariantInit(&bad);
    bad.vt = vt;
    EXPECT_EQ(VariantCopy(&dest, &bad), DISP_E_BADVARTYPE) << "vt " << vt;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE) << "vt " << vt;
    EXPECT_EQ(bad.vt, vt);
  }
  EXPECT_EQ(dest.vt, VT_I4);
  EXPECT_EQ(dest.lVal, 42);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
  EXPECT_EQ(VariantCopy(nullptr, &dest), E_INVALIDARG);
}

// Builds VT_ARRAY | VT_VARIANT of three elements: a BSTR, the object, and an inner array holding
// a BSTR, all owned by the returned variant.
VARIANT MakeNestedArray(IUnknown* object) {
  SAFEARRAY* inner = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  VARIANT leaf;
  VariantInit(&leaf);
  leaf.vt = VT_BSTR;
  leaf.bstrVal = SysAllocString(u"leaf");
  LONG i = 0;
  EXPECT_EQ(SafeArrayPutElement(inner, &i, &leaf), S_OK);
  EXPECT_EQ(VariantClear(&leaf), S_OK);

  SAFEARRAY* outer = SafeArrayCreateVector(VT_VARIANT, 0, 3);
  VARIANT item;
  VariantInit(&item);
  item.vt = VT_BSTR;
  item.bstrVal = SysAllocString(u"top");
  i = 0;
  EXPECT_EQ(SafeArrayPutElement(outer, &i, &item), S_OK);
  EXPECT_EQ(VariantClear(&item), S_OK);
  item.vt = VT_UNKNOWN;
  item.punkVal = object;
  i = 1;
  EXPECT_EQ(SafeArrayPutElement(outer, &i, &item), S_OK);
  item.vt = VT_ARRAY | VT_VARIANT;
  item.parray = inner;
  i = 2;
  EXPECT_EQ(SafeArrayPutElement(outer, &i, &item), S_OK);
  EXPECT_EQ(VariantClear(&item), S_OK);  // frees our inner array; the outer holds a copy

  VARIANT result;
  VariantInit(&result);
  result.vt = VT_ARRAY | VT_VARIANT;
  result.parray = outer;
  return result;
}

TEST(OleVariantTest, NestedArraysCopyDeeplyAndClearCompletely) {
  int alive = 0;
  auto* object = new Counted(&alive);
  VARIANT original = MakeNestedArray(object);
  EXPECT_EQ(RefCount(object), 2u);

  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &original), S_OK);
  ASSERT_NE(copy.parray, original.parray);
  EXPECT_EQ(RefCount(object), 3u);

  // Change the copy's innermost element in place: the original must not see it.
  LONG i = 2;
  LONG zero = 0;
  void* slot = nullptr;
  ASSERT_EQ(SafeArrayPtrOfIndex(copy.parray, &i, &slot), S_OK);
  auto* innerOfCopy = static_cast<VARIANT*>(slot);
  ASSERT_EQ(innerOfCopy->vt, VT_ARRAY | VT_VARIANT);
  VARIANT replacement;
  VariantInit(&replacement);
  replacement.vt = VT_I4;
  replacement.lVal = 9;
  ASSERT_EQ(SafeArrayPutElement(innerOfCopy->parray, &zero, &replacement), S_OK);

  VARIANT leaf;
  ASSERT_EQ(SafeArrayGetElement(innerOfCopy->parray, &zero, &leaf), S_OK);
  EXPECT_EQ(leaf.vt, VT_I4);
  ASSERT_EQ(SafeArrayPtrOfIndex(original.parray, &i, &slot), S_OK);
  ASSERT_EQ(SafeArrayGetElement(static_cast<VARIANT*>(slot)->parray, &zero, &leaf), S_OK);
  EXPECT_EQ(leaf.vt, VT_BSTR);
  EXPECT_EQ(BstrText(leaf.bstrVal), u"leaf");
  ASSERT_EQ(VariantClear(&leaf), S_OK);

  ASSERT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(RefCount(object), 2u);
  // The source may live inside the destination: copy an element of the array over the variant
  // that owns the array.
  void* element = nullptr;
  LONG first = 0;
  ASSERT_EQ(SafeArrayPtrOfIndex(original.parray, &first, &element), S_OK);
  ASSERT_EQ(VariantCopy(&original, static_cast<VARIANT*>(element)), S_OK);
  EXPECT_EQ(original.vt, VT_BSTR);
  EXPECT_EQ(BstrText(original.bstrVal), u"top");
  EXPECT_EQ(RefCount(object), 1u);
  ASSERT_EQ(VariantClear(&original), S_OK);
  object->Release();
  EXPECT_EQ(alive, 0);
}

TEST(OleVariantTest, LockedArrayIsNotFreedUnderItsUser) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_UI1;
  v.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(v.parray, &data), S_OK);
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_UI1);
  VARIANT other;
  VariantInit(&other);
  EXPECT_EQ(VariantCopy(&v, &other), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_UI1);
  ASSERT_EQ(SafeArrayUnaccessData(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);
}

// ---- SAFEARRAY: the 2-D row arrays of the container listings ----------------------------------

// Columns x rows of VARIANT, both lower bounds 0: dimension 1 is the column.
SAFEARRAY* MakeRows(ULONG columns, ULONG rows) {
  const SAFEARRAYBOUND bounds[2] = {{columns, 0}, {rows, 0}};
  return SafeArrayCreate(VT_VARIANT, 2, bounds);
}

HRESULT PutInt(SAFEARRAY* psa, LONG column, LONG row, LONG value) {
  LONG index[2] = {column, row};
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return SafeArrayPutElement(psa, index, &v);
}

HRESULT PutText(SAFEARRAY* psa, LONG column, LONG row, const char16_t* text) {
  LONG index[2] = {column, row};
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  const HRESULT hr = SafeArrayPutElement(psa, index, &v);
  EXPECT_EQ(VariantClear(&v), S_OK);
  return hr;
}

VARIANT Get(SAFEARRAY* psa, LONG column, LONG row) {
  LONG index[2] = {column, row};
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(SafeArrayGetElement(psa, index, &v), S_OK) << column << "," << row;
  return v;
}

TEST(OleSafeArrayTest, TwoDimensionalShapeAndLayout) {
  SAFEARRAY* psa = MakeRows(3, 2);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(psa), 2u);
  EXPECT_EQ(SafeArrayGetElemsize(psa), sizeof(VARIANT));
  VARTYPE vt = VT_EMPTY;
  ASSERT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, VT_VARIANT);
  EXPECT_NE(psa->fFeatures & FADF_VARIANT, 0);

  LONG lower = -1;
  LONG upper = -1;
  ASSERT_EQ(SafeArrayGetLBound(psa, 1, &lower), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(psa, 1, &upper), S_OK);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, 2) << "dimension 1 is the columns";
  ASSERT_EQ(SafeArrayGetUBound(psa, 2, &upper), S_OK);
  EXPECT_EQ(upper, 1) << "dimension 2 is the rows";
  EXPECT_EQ(SafeArrayGetUBound(psa, 0, &upper), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetLBound(psa, 3, &lower), DISP_E_BADINDEX);
  // Stored bounds are in reverse, as on Windows: the rightmost dimension (rows) first.
  EXPECT_EQ(psa->rgsabound[0].cElements, 2u);

  for (LONG row = 0; row < 2; ++row)
    for (LONG column = 0; column < 3; ++column)
      ASSERT_EQ(PutInt(psa, column, row, column * 10 + row), S_OK);

  // The leftmost index varies fastest: {c, r} is element r * columns + c.
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  const auto* cells = static_cast<const VARIANT*>(data);
  for (LONG row = 0; row < 2; ++row) {
    for (LONG column = 0; column < 3; ++column) {
      const VARIANT& cell = cells[row * 3 + column];
      EXPECT_EQ(cell.vt, VT_I4);
      EXPECT_EQ(cell.lVal, column * 10 + row) << column << "," << row;
    }
  }
  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
  ASSERT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(OleSafeArrayTest, GrowingRowsKeepsEveryElement) {
  SAFEARRAY* psa = MakeRows(2, 1);
  ASSERT_NE(psa, nullptr);
  ASSERT_EQ(PutInt(psa, 0, 0, 100), S_OK);
  ASSERT_EQ(PutText(psa, 1, 0, u"row zero"), S_OK);

  // Grown one row at a time, as a listing adds rows.
  for (ULONG rows = 2; rows <= 4; ++rows) {
    SAFEARRAYBOUND bound{rows, 0};
    ASSERT_EQ(SafeArrayRedim(psa, &bound), S_OK);
    const LONG row = static_cast<LONG>(rows - 1);
    VARIANT fresh = Get(psa, 0, row);
    EXPECT_EQ(fresh.vt, VT_EMPTY) << "a new row starts empty";
    ASSERT_EQ(PutInt(psa, 0, row, 100 + row), S_OK);
    ASSERT_EQ(PutText(psa, 1, row, u"later"), S_OK);
  }
  LONG upper = 0;
  ASSERT_EQ(SafeArrayGetUBound(psa, 2, &upper), S_OK);
  EXPECT_EQ(upper, 3);
  ASSERT_EQ(SafeArrayGetUBound(psa, 1, &upper), S_OK);
  EXPECT_EQ(upper, 1) << "columns never change";

  for (LONG row = 0; row < 4; ++row) {
    VARIANT id = Get(psa, 0, row);
    EXPECT_EQ(id.vt, VT_I4);
    EXPECT_EQ(id.lVal, 100 + row);
    VARIANT name = Get(psa, 1, row);
    EXPECT_EQ(name.vt, VT_BSTR);
    EXPECT_EQ(BstrText(name.bstrVal), row == 0 ? u"row zero" : u"later");
    EXPECT_EQ(VariantClear(&name), S_OK);
  }

  // Shrinking frees the removed rows' strings and keeps the rest.
  SAFEARRAYBOUND one{1, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &one), S_OK);
  VARIANT name = Get(psa, 1, 0);
  EXPECT_EQ(BstrText(name.bstrVal), u"row zero");
  EXPECT_EQ(VariantClear(&name), S_OK);
  LONG gone[2] = {0, 1};
  VARIANT out;
  EXPECT_EQ(SafeArrayGetElement(psa, gone, &out), DISP_E_BADINDEX);

  SAFEARRAYBOUND none{0, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &none), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(psa, 2, &upper), S_OK);
  EXPECT_EQ(upper, -1);
  ASSERT_EQ(SafeArrayRedim(psa, &one), S_OK);
  VARIANT back = Get(psa, 1, 0);
  EXPECT_EQ(back.vt, VT_EMPTY);
  ASSERT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(OleSafeArrayTest, IndicesAreCheckedAgainstBothBounds) {
  const SAFEARRAYBOUND bounds[2] = {{2, 1}, {3, -1}};  // columns 1..2, rows -1..1
  SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, 2, bounds);
  ASSERT_NE(psa, nullptr);
  ASSERT_EQ(PutInt(psa, 1, -1, 1), S_OK);
  ASSERT_EQ(PutInt(psa, 2, 1, 2), S_OK);
  EXPECT_EQ(Get(psa, 2, 1).lVal, 2);

  const LONG bad[][2] = {{0, 0}, {3, 0}, {1, -2}, {1, 2}, {kLongMin, 0}, {1, kLongMax}};
  for (const auto& index : bad) {
    LONG copy[2] = {index[0], index[1]};
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    EXPECT_EQ(SafeArrayPutElement(psa, copy, &v), DISP_E_BADINDEX) << copy[0] << "," << copy[1];
    EXPECT_EQ(SafeArrayGetElement(psa, copy, &v), DISP_E_BADINDEX) << copy[0] << "," << copy[1];
    void* where = nullptr;
    EXPECT_EQ(SafeArrayPtrOfIndex(psa, copy, &where), DISP_E_BADINDEX);
  }

  // Redim relabels the row bounds too.
  SAFEARRAYBOUND moved{2, 10};
  ASSERT_EQ(SafeArrayRedim(psa, &moved), S_OK);
  EXPECT_EQ(Get(psa, 1, 10).lVal, 1);
  LONG lower = 0;
  ASSERT_EQ(SafeArrayGetLBound(psa, 2, &lower), S_OK);
  EXPECT_EQ(lower, 10);
  ASSERT_EQ(SafeArrayGetLBound(psa, 1, &lower), S_OK);
  EXPECT_EQ(lower, 1);

  LONG index[2] = {1, 10};
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(SafeArrayPutElement(nullptr, index, &v), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(psa, nullptr, &v), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(psa, index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(psa, index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetUBound(nullptr, 1, &lower), E_INVALIDARG);
  EXPECT_EQ(SafeArrayRedim(psa, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayAccessData(psa, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
  ASSERT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(OleSafeArrayTest, LockedArrayRefusesRedimAndDestroy) {
  SAFEARRAY* psa = MakeRows(2, 2);
  ASSERT_NE(psa, nullptr);
  ASSERT_EQ(PutText(psa, 0, 1, u"kept"), S_OK);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_EQ(psa->cLocks, 2u);

  SAFEARRAYBOUND bigger{5, 0};
  EXPECT_EQ(SafeArrayRedim(psa, &bigger), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(psa->pvData, data) << "the data must not move while locked";
  // Elements can still be read and written while locked.
  ASSERT_EQ(PutInt(psa, 1, 1, 5), S_OK);

  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
  ASSERT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  ASSERT_EQ(SafeArrayRedim(psa, &bigger), S_OK);
  VARIANT kept = Get(psa, 0, 1);
  EXPECT_EQ(BstrText(kept.bstrVal), u"kept");
  EXPECT_EQ(VariantClear(&kept), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(OleSafeArrayTest, SizesThatOverflowAreRefused) {
  // Bounds whose upper index fits but whose element count does not fit in memory arithmetic.
  const SAFEARRAYBOUND huge[2] = {{0xFFFFFFFFu, INT32_MIN}, {0xFFFFFFFFu, INT32_MIN}};
  EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 2, huge), nullptr);
  const SAFEARRAYBOUND pastLong[1] = {{10, kLongMax - 5}};
  EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 1, pastLong), nullptr) << "upper bound beyond LONG";
  EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 0, huge), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, pastLong), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_DISPATCH, 1, pastLong), nullptr);

  // Zero rows of very many columns take no memory; growing the rows must overflow cleanly.
  const SAFEARRAYBOUND wide[2] = {{0xFFFFFFFFu, INT32_MIN}, {0, 0}};
  SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, 2, wide);
  ASSERT_NE(psa, nullptr);
  SAFEARRAYBOUND rows{0xFFFFFFFFu, INT32_MIN};
  EXPECT_EQ(SafeArrayRedim(psa, &rows), E_OUTOFMEMORY);
  LONG upper = 0;
  ASSERT_EQ(SafeArrayGetUBound(psa, 2, &upper), S_OK);
  EXPECT_EQ(upper, -1) << "a failed redim leaves the array as it was";
  SAFEARRAYBOUND pastEnd{2, kLongMax};
  EXPECT_EQ(SafeArrayRedim(psa, &pastEnd), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(OleSafeArrayTest, ElementKindsOwnTheirValues) {
  // Bytes: plain values.
  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 3);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(SafeArrayGetElemsize(bytes), 1u);
  BYTE value = 0xAB;
  LONG i = 2;
  ASSERT_EQ(SafeArrayPutElement(bytes, &i, &value), S_OK);
  BYTE read = 0;
  ASSERT_EQ(SafeArrayGetElement(bytes, &i, &read), S_OK);
  EXPECT_EQ(read, 0xAB);

  // Strings: the BSTR itself is passed in, and copied.
  SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_NE(strings, nullptr);
  BSTR text = SysAllocString(u"name");
  i = 0;
  ASSERT_EQ(SafeArrayPutElement(strings, &i, text), S_OK);
  ASSERT_EQ(SafeArrayPutElement(strings, &i, text), S_OK);  // overwriting frees the old copy
  SysFreeString(text);
  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(strings, &i, &out), S_OK);
  EXPECT_EQ(BstrText(out), u"name");
  SysFreeString(out);

  // Objects: a reference per element, released on overwrite and destroy.
  int alive = 0;
  auto* object = new Counted(&alive);
  SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  ASSERT_NE(objects, nullptr);
  for (i = 0; i < 2; ++i)
    ASSERT_EQ(SafeArrayPutElement(objects, &i, static_cast<IUnknown*>(object)), S_OK);
  EXPECT_EQ(RefCount(object), 3u);
  i = 1;
  ASSERT_EQ(SafeArrayPutElement(objects, &i, nullptr), S_OK);
  EXPECT_EQ(RefCount(object), 2u);

  SAFEARRAY* copies[3] = {};
  ASSERT_EQ(SafeArrayCopy(bytes, &copies[0]), S_OK);
  ASSERT_EQ(SafeArrayCopy(strings, &copies[1]), S_OK);
  ASSERT_EQ(SafeArrayCopy(objects, &copies[2]), S_OK);
  EXPECT_EQ(RefCount(object), 3u);
  i = 2;
  ASSERT_EQ(SafeArrayGetElement(copies[0], &i, &read), S_OK);
  EXPECT_EQ(read, 0xAB);
  i = 0;
  ASSERT_EQ(SafeArrayGetElement(copies[1], &i, &out), S_OK);
  EXPECT_EQ(BstrText(out), u"name");
  SysFreeString(out);
  VARTYPE vt = VT_EMPTY;
  ASSERT_EQ(SafeArrayGetVartype(copies[2], &vt), S_OK);
  EXPECT_EQ(vt, VT_UNKNOWN);

  for (SAFEARRAY* psa : {bytes, strings, objects, copies[0], copies[1], copies[2]})
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(RefCount(object), 1u);
  object->Release();
  EXPECT_EQ(alive, 0);
}

// An element whose last release reaches back into the array that held it.
class Reentrant final : public ComObject<IUnknown> {
 public:
  Reentrant(SAFEARRAY* array, std::vector<HRESULT>* seen) : array_(array), seen_(seen) {}

 private:
  ~Reentrant() override {
    SAFEARRAYBOUND none{0, 0};
    seen_->push_back(SafeArrayRedim(array_, &none));
    seen_->push_back(SafeArrayDestroy(array_));
  }
  SAFEARRAY* array_;
  std::vector<HRESULT>* seen_;
};

TEST(OleSafeArrayTest, ReleasingAnElementCannotFreeTheArrayUnderneath) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  ASSERT_NE(psa, nullptr);
  std::vector<HRESULT> seen;
  const std::vector<HRESULT> refused = {DISP_E_ARRAYISLOCKED, DISP_E_ARRAYISLOCKED};
  auto put = [&](LONG index) {
    IUnknown* element = new Reentrant(psa, &seen);
    EXPECT_EQ(SafeArrayPutElement(psa, &index, element), S_OK);
    element->Release();  // the array holds the only reference now
  };

  put(0);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, nullptr), S_OK);  // overwrite releases it
  EXPECT_EQ(seen, refused);

  seen.clear();
  put(1);
  SAFEARRAYBOUND one{1, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &one), S_OK);  // shrinking releases element 1
  EXPECT_EQ(seen, refused);

  seen.clear();
  put(0);
  ASSERT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(seen, refused);
}

// ---- HGLOBAL ----------------------------------------------------------------------------------

TEST(OleGlobalMemoryTest, MoveableBlockLifecycle) {
  HGLOBAL h = GlobalAlloc(GHND, 16);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalSize(h), 16u);
  auto* p = static_cast<unsigned char*>(GlobalLock(h));
  ASSERT_NE(p, nullptr);
  EXPECT_NE(static_cast<void*>(p), h) << "a moveable handle is not the address";
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], 0) << i;
  std::memcpy(p, "0123456789abcdef", 16);
  EXPECT_EQ(GlobalLock(h), p);

  EXPECT_TRUE(GlobalUnlock(h)) << "still locked once";
  SetLastError(ERROR_INVALID_DATA);
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));

  // Growing an unlocked block keeps the handle and the bytes; the new bytes are zero.
  ASSERT_EQ(GlobalReAlloc(h, 4096, GMEM_MOVEABLE | GMEM_ZEROINIT), h);
  EXPECT_EQ(GlobalSize(h), 4096u);
  p = static_cast<unsigned char*>(GlobalLock(h));
  EXPECT_EQ(std::memcmp(p, "0123456789abcdef", 16), 0);
  EXPECT_EQ(p[4095], 0);

  // A locked block does not move: growing fails, shrinking works in place, and growing back
  // within the old size shows zeros, not the old bytes.
  EXPECT_EQ(GlobalReAlloc(h, 1 << 20, GMEM_MOVEABLE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(GlobalSize(h), 4096u);
  ASSERT_EQ(GlobalReAlloc(h, 4, GMEM_MOVEABLE), h);
  EXPECT_EQ(GlobalSize(h), 4u);
  ASSERT_EQ(GlobalReAlloc(h, 16, GMEM_MOVEABLE), h);
  EXPECT_EQ(GlobalLock(h), p);
  EXPECT_EQ(std::memcmp(p, "0123\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
  EXPECT_TRUE(GlobalUnlock(h));
  EXPECT_FALSE(GlobalUnlock(h));

  EXPECT_EQ(GlobalFree(h), nullptr);
  // The freed handle now fails cleanly everywhere.
  SetLastError(0);
  EXPECT_EQ(GlobalLock(h), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_EQ(GlobalSize(h), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GlobalFree(h), h);
  EXPECT_EQ(GlobalReAlloc(h, 8, GMEM_MOVEABLE), nullptr);
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(OleGlobalMemoryTest, FixedBlockIsItsOwnAddress) {
  HGLOBAL h = GlobalAlloc(GPTR, 4);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalLock(h), h);
  std::memcpy(h, "abcd", 4);
  EXPECT_FALSE(GlobalUnlock(h));

  // A fixed block moves only when the caller allows it.
  EXPECT_EQ(GlobalReAlloc(h, 1 << 16, 0), nullptr);
  EXPECT_EQ(GlobalSize(h), 4u);
  HGLOBAL moved = GlobalReAlloc(h, 1 << 16, GMEM_MOVEABLE);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(GlobalSize(moved), static_cast<SIZE_T>(1 << 16));
  EXPECT_EQ(std::memcmp(moved, "abcd", 4), 0);
  if (moved != h) {
    EXPECT_EQ(GlobalSize(h), 0u) << "the old address is no longer a handle";
  }
  EXPECT_EQ(GlobalFree(moved), nullptr);

  HGLOBAL empty = GlobalAlloc(GMEM_FIXED, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(GlobalSize(empty), 0u);
  EXPECT_EQ(GlobalFree(empty), nullptr);
}

TEST(OleGlobalMemoryTest, BogusHandlesAndFlagsFailCleanly) {
  int local = 0;
  const HGLOBAL bogus[] = {&local, reinterpret_cast<HGLOBAL>(0x1234), INVALID_HANDLE_VALUE};
  for (HGLOBAL h : bogus) {
    SetLastError(0);
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_EQ(GlobalFree(h), h);
    EXPECT_EQ(GlobalReAlloc(h, 8, GMEM_MOVEABLE), nullptr);
  }
  EXPECT_EQ(GlobalFree(nullptr), nullptr);

  SetLastError(0);
  EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE | GMEM_MODIFY, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_SHARE, 8);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalReAlloc(h, 8, GMEM_MODIFY), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // A huge request fails instead of wrapping.
  EXPECT_EQ(GlobalAlloc(GHND, SIZE_MAX), nullptr);
  EXPECT_EQ(GlobalFree(h), nullptr);
}

}  // namespace
