// OLE data types: task allocator, BSTR, UTF-8 / UTF-16 conversion, VARIANT and SAFEARRAY (the
// row arrays the container listings fill) and HGLOBAL blocks. Leaks and stray reads are left to
// the sanitizer build to catch; the tests pin results, counts and layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/Ole.h"

// Expects `call` to fail (return 0 or null) and leave `error` behind.
#define EXPECT_REFUSED(call, error)                                \
  do {                                                             \
    SetLastError(0);                                               \
    EXPECT_FALSE((call)) << #call;                                 \
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(error)) << #call; \
  } while (false)

namespace {

class Plain final : public ComObject<IUnknown> {};

constexpr LONG kLongMax = std::numeric_limits<LONG>::max();

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

std::u16string BstrText(BSTR b) { return std::u16string(b == nullptr ? u"" : b, SysStringLen(b)); }

VARIANT MakeVariant(VARTYPE vt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  return v;
}

TEST(OleTaskAllocatorTest, SharedAllocatorSizesAndRefusals) {
  IMalloc* allocator = nullptr;
  ASSERT_EQ(SHGetMalloc(&allocator), S_OK);
  void* block = CoTaskMemRealloc(allocator->Alloc(10), 4000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(allocator->GetSize(block), 4000u);
  CoTaskMemFree(block);  // either entry point frees what the other allocated
  EXPECT_EQ(CoTaskMemAlloc(SIZE_MAX), nullptr);
  // Over-releasing the shared allocator must not destroy it.
  allocator->Release();
  allocator->Release();
  void* stillWorks = allocator->Alloc(8);
  EXPECT_EQ(allocator->GetSize(stillWorks), 8u);
  allocator->Free(stillWorks);
}

TEST(OleTaskAllocatorDeathTest, FreeingAForeignPointerStopsInsteadOfCorrupting) {
  alignas(16) static char buffer[64] = {};
  EXPECT_DEATH(CoTaskMemFree(buffer + 32), "not allocated here");
}

TEST(OleBstrTest, LengthsTerminatorsAndReallocation) {
  // A byte length keeps odd counts and the text stays terminated after the last byte.
  BSTR bytes = SysAllocStringByteLen("xyz", 3);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(SysStringByteLen(bytes), 3u);
  EXPECT_EQ(reinterpret_cast<const char*>(bytes)[3], '\0');
  SysFreeString(bytes);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr) << "byte length overflows 32 bits";

  // Reallocation may read from the string it replaces.
  BSTR text = SysAllocString(u"hello world");
  ASSERT_TRUE(SysReAllocString(&text, text + 6));
  ASSERT_TRUE(SysReAllocStringLen(&text, text + 1, 3));
  EXPECT_EQ(BstrText(text), u"orl");
  ASSERT_TRUE(SysReAllocStringLen(&text, nullptr, 5));  // no source: old text kept as it fits
  EXPECT_EQ(BstrText(text), std::u16string(u"orl\0\0", 5));
  ASSERT_TRUE(SysReAllocString(&text, nullptr));
  EXPECT_EQ(text, nullptr);
}

TEST(OleTextConversionTest, RoundTripsIncludingSupplementaryPlanes) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x98\x80z\xF4\x8F\xBF\xBF",
       u"caf\u00E9 \u65E5\U0001F600z\U0010FFFF"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& [utf8, utf16] : cases) {
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16) << utf8;
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    BSTR b = SysAllocStringFromUtf8(utf8);
    EXPECT_EQ(BstrText(b), utf16) << utf8;
    SysFreeString(b);
  }
}

TEST(OleTextConversionTest, SizeQueriesShortBuffersAndBadArguments) {
  const char* text = "h\xC3\xA9llo";  // 6 bytes, 5 characters; with -1 the NUL counts too
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), 6);
  std::u16string wideBuffer(8, u'#');
  char16_t* wide = wideBuffer.data();
  EXPECT_REFUSED(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 5), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(wide[5], u'#') << "nothing written past the buffer";
  // A surrogate pair needs two units; a buffer that holds only one is too small.
  EXPECT_REFUSED(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 1),
                 ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(wide[1], u'#');

  const char16_t* utf16 = u"h\u00E9\U0001F600";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, utf16, -1, nullptr, 0, nullptr, nullptr), 8);
  std::string narrowBuffer(10, '#');
  char* narrow = narrowBuffer.data();
  EXPECT_REFUSED(WideCharToMultiByte(CP_ACP, 0, utf16, -1, narrow, 7, nullptr, nullptr),
                 ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(narrow[7], '#');
  EXPECT_REFUSED(MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 4), ERROR_INVALID_PARAMETER);
  EXPECT_REFUSED(MultiByteToWideChar(CP_ACP, 0, nullptr, 1, wide, 4), ERROR_INVALID_PARAMETER);
  EXPECT_REFUSED(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 4),
                 ERROR_INVALID_FLAGS);
  EXPECT_REFUSED(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, "?", nullptr),
                 ERROR_INVALID_PARAMETER);
}

// Inputs are copied to the heap at their exact size: the sanitizer catches a read past them.
TEST(OleTextConversionTest, IllFormedInputBecomesReplacementCharacters) {
  using namespace std::string_literals;
  const std::pair<std::string, std::u16string> utf8Cases[] = {
      {"\x80"s, u"\uFFFD"},                                // stray continuation
      {"\xE2\x82"s, u"\uFFFD"},                            // truncated at the end, one U+FFFD
      {"\xE0\x80\xAF"s, u"\uFFFD\uFFFD\uFFFD"},            // overlong
      {"\xED\xA0\x80"s, u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80"s, u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF5\x80"s, u"\uFFFD\uFFFD"},                      // invalid lead
  };
  for (const auto& [input, expected] : utf8Cases) {
    auto exact = std::make_unique<char[]>(input.size());
    std::memcpy(exact.get(), input.data(), input.size());
    const int n = static_cast<int>(input.size());
    EXPECT_EQ(Utf8ToUtf16({exact.get(), input.size()}), expected) << input.size() << " bytes";
    EXPECT_REFUSED(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, exact.get(), n, nullptr, 0),
                   ERROR_NO_UNICODE_TRANSLATION);
  }

  const char16_t high = 0xD83D, low = 0xDE00;
  const std::pair<std::u16string, std::string> utf16Cases[] = {
      {{high}, "\xEF\xBF\xBD"},                          // high at the end
      {{high, u'x', low}, "\xEF\xBF\xBDx\xEF\xBF\xBD"},  // interrupted
  };
  char out[16];
  for (const auto& [input, expected] : utf16Cases) {
    auto exact = std::make_unique<char16_t[]>(input.size());
    std::memcpy(exact.get(), input.data(), input.size() * sizeof(char16_t));
    const int n = static_cast<int>(input.size());
    BOOL usedDefault = FALSE;
    const int written =
        WideCharToMultiByte(CP_ACP, 0, exact.get(), n, out, sizeof out, nullptr, &usedDefault);
    EXPECT_EQ(std::string(out, static_cast<size_t>(std::max(written, 0))), expected);
    EXPECT_TRUE(usedDefault);
    EXPECT_REFUSED(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, exact.get(), n, out,
                                       sizeof out, nullptr, nullptr),
                   ERROR_NO_UNICODE_TRANSLATION);
  }
}

TEST(OleVariantTest, CopyAndClearOwnTheirValues) {
  VARIANT copy = MakeVariant(VT_BSTR), unknown = MakeVariant(VT_UNKNOWN);
  copy.bstrVal = SysAllocString(u"x");
  unknown.punkVal = new Plain();  // takes the creator's reference
  ASSERT_EQ(VariantCopy(&copy, &unknown), S_OK) << "frees the BSTR, references the object";
  EXPECT_EQ(RefCount(unknown.punkVal), 2u);
  ASSERT_EQ(VariantClear(&copy), S_OK);
  ASSERT_EQ(VariantCopy(&unknown, &unknown), S_OK) << "copy onto itself changes nothing";
  EXPECT_EQ(RefCount(unknown.punkVal), 1u);
  ASSERT_EQ(VariantClear(&unknown), S_OK);

  // Unknown types are refused and leave the destination alone.
  VARIANT dest = MakeVariant(VT_I4);
  dest.lVal = 42;
  for (VARTYPE vt : {VARTYPE(VT_DISPATCH), VARTYPE(0x7FFF), VARTYPE(VT_ARRAY | VT_EMPTY)}) {
    VARIANT bad = MakeVariant(vt);
    EXPECT_EQ(VariantCopy(&dest, &bad), DISP_E_BADVARTYPE) << "vt " << vt;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE) << "vt " << vt;
  }
  EXPECT_EQ(dest.lVal, 42);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(OleVariantTest, NestedArraysCopyDeeplyAndMayCopyFromInsideTheDestination) {
  // original = {"top", {object}}
  IUnknown* object = new Plain();
  VARIANT original = MakeVariant(VT_ARRAY | VT_VARIANT), inner = MakeVariant(VT_ARRAY | VT_UNKNOWN),
          item = MakeVariant(VT_BSTR);
  original.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  inner.parray = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
  item.bstrVal = SysAllocString(u"top");
  LONG zero = 0, one = 1;
  ASSERT_EQ(SafeArrayPutElement(inner.parray, &zero, object), S_OK);
  ASSERT_EQ(SafeArrayPutElement(original.parray, &zero, &item), S_OK);
  ASSERT_EQ(SafeArrayPutElement(original.parray, &one, &inner), S_OK);
  ASSERT_EQ(VariantClear(&item), S_OK);
  ASSERT_EQ(VariantClear(&inner), S_OK);  // the outer array holds its own copies

  VARIANT copy = MakeVariant(VT_EMPTY);
  ASSERT_EQ(VariantCopy(&copy, &original), S_OK);
  EXPECT_EQ(RefCount(object), 3u) << "the nested array is copied, not shared";
  ASSERT_EQ(VariantClear(&copy), S_OK);
  // Copy an element over the variant owning it: the source must be read before it is freed.
  void* first = nullptr;
  ASSERT_EQ(SafeArrayPtrOfIndex(original.parray, &zero, &first), S_OK);
  ASSERT_EQ(VariantCopy(&original, static_cast<VARIANT*>(first)), S_OK);
  EXPECT_EQ(BstrText(original.bstrVal), u"top");
  EXPECT_EQ(RefCount(object), 1u);
  ASSERT_EQ(VariantClear(&original), S_OK);
  object->Release();
}

// Stores a copy of `text` at {column, row}.
HRESULT Put(SAFEARRAY* psa, LONG column, LONG row, const std::u16string& text) {
  LONG index[2] = {column, row};
  VARIANT v = MakeVariant(VT_BSTR);
  v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  const HRESULT hr = SafeArrayPutElement(psa, index, &v);
  EXPECT_EQ(VariantClear(&v), S_OK);
  return hr;
}

// The text stored at {column, row}, or "vt<type>" for anything else.
std::string Get(SAFEARRAY* psa, LONG column, LONG row) {
  LONG index[2] = {column, row};
  VARIANT v = MakeVariant(VT_EMPTY);
  EXPECT_EQ(SafeArrayGetElement(psa, index, &v), S_OK) << column << "," << row;
  const std::string text = v.vt == VT_BSTR ? Utf8FromBstr(v.bstrVal) : "vt" + std::to_string(v.vt);
  EXPECT_EQ(VariantClear(&v), S_OK);
  return text;
}

LONG UpperBound(SAFEARRAY* psa, UINT dim) {
  LONG value = -99;
  EXPECT_EQ(SafeArrayGetUBound(psa, dim, &value), S_OK);
  return value;
}

SAFEARRAY* MakeRows(ULONG columns, ULONG rows, LONG firstColumn = 0, LONG firstRow = 0) {
  const SAFEARRAYBOUND bounds[2] = {{columns, firstColumn}, {rows, firstRow}};
  return SafeArrayCreate(VT_VARIANT, 2, bounds);
}

TEST(OleSafeArrayTest, ShapeLayoutIndexChecksAndOverflows) {
  SAFEARRAY* psa = MakeRows(3, 2, 1, -1);  // columns 1..3, rows -1..0
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(UpperBound(psa, 1), 3) << "dimension 1 is the columns";
  EXPECT_EQ(UpperBound(psa, 2), 0) << "dimension 2 is the rows";
  LONG bound = 0;
  EXPECT_EQ(SafeArrayGetLBound(psa, 3, &bound), DISP_E_BADINDEX);
  EXPECT_EQ(psa->rgsabound[0].lLbound, -1) << "stored bounds are in reverse, rows first";
  // The leftmost index varies fastest: {c, r} is element (r - first) * columns + (c - first).
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Put(psa, 1 + i % 3, i / 3 - 1, {char16_t(u'a' + i)}), S_OK);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(BstrText(static_cast<VARIANT*>(data)[i].bstrVal), std::u16string{char16_t(u'a' + i)});
  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);

  const LONG minimum = std::numeric_limits<LONG>::min();
  const LONG bad[][2] = {{0, 0}, {4, 0}, {1, -2}, {1, 1}, {minimum, 0}, {1, kLongMax}};
  VARIANT v = MakeVariant(VT_I4);
  for (const auto& index : bad) {
    LONG copy[2] = {index[0], index[1]};
    void* where = nullptr;
    EXPECT_EQ(SafeArrayPutElement(psa, copy, &v), DISP_E_BADINDEX) << copy[0] << "," << copy[1];
    EXPECT_EQ(SafeArrayGetElement(psa, copy, &v), DISP_E_BADINDEX) << copy[0] << "," << copy[1];
    EXPECT_EQ(SafeArrayPtrOfIndex(psa, copy, &where), DISP_E_BADINDEX);
  }
  EXPECT_EQ(SafeArrayPutElement(psa, nullptr, &v), E_INVALIDARG);
  EXPECT_EQ(SafeArrayRedim(psa, nullptr), E_INVALIDARG);
  ASSERT_EQ(SafeArrayDestroy(psa), S_OK);

  // The upper index fits but the element count does not fit in memory arithmetic.
  EXPECT_EQ(MakeRows(0xFFFFFFFFu, 0xFFFFFFFFu, INT32_MIN, INT32_MIN), nullptr);
  const SAFEARRAYBOUND pastLong[1] = {{10, kLongMax - 5}};
  EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 1, pastLong), nullptr) << "upper bound beyond LONG";

  // Zero rows of very many columns take no memory; growing the rows must overflow cleanly.
  psa = MakeRows(0xFFFFFFFFu, 0, INT32_MIN);
  ASSERT_NE(psa, nullptr);
  SAFEARRAYBOUND rows{0xFFFFFFFFu, INT32_MIN};
  EXPECT_EQ(SafeArrayRedim(psa, &rows), E_OUTOFMEMORY);
  EXPECT_EQ(UpperBound(psa, 2), -1) << "a failed redim leaves the array as it was";
  SAFEARRAYBOUND pastEnd{2, kLongMax};
  EXPECT_EQ(SafeArrayRedim(psa, &pastEnd), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(OleSafeArrayTest, RedimKeepsFreesAndRelabelsRows) {
  SAFEARRAY* psa = MakeRows(2, 1);
  ASSERT_NE(psa, nullptr);
  ASSERT_EQ(Put(psa, 1, 0, u"row zero"), S_OK);
  for (ULONG rows = 2; rows <= 4; ++rows) {  // one row at a time, as a listing adds rows
    SAFEARRAYBOUND bound{rows, 0};
    ASSERT_EQ(SafeArrayRedim(psa, &bound), S_OK);
    const LONG row = static_cast<LONG>(rows - 1);
    EXPECT_EQ(Get(psa, 1, row), "vt0") << "a new row starts empty";
    ASSERT_EQ(Put(psa, 0, row, u"later"), S_OK);
  }
  EXPECT_EQ(Get(psa, 1, 0), "row zero");

  // Shrinking frees the removed rows; growing from zero rows starts empty.
  SAFEARRAYBOUND bound{0, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &bound), S_OK);
  EXPECT_EQ(UpperBound(psa, 2), -1);
  bound = {1, 10};  // relabels the rows
  ASSERT_EQ(SafeArrayRedim(psa, &bound), S_OK);
  EXPECT_EQ(Get(psa, 1, 10), "vt0");
  ASSERT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(OleSafeArrayTest, LockedArrayRefusesRedimAndDestroy) {
  SAFEARRAY* psa = MakeRows(2, 2);
  ASSERT_NE(psa, nullptr);
  ASSERT_EQ(Put(psa, 0, 1, u"kept"), S_OK);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  SAFEARRAYBOUND bigger{5, 0};
  EXPECT_EQ(SafeArrayRedim(psa, &bigger), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(psa->pvData, data) << "the data must not move while locked";
  ASSERT_EQ(Put(psa, 1, 1, u"new"), S_OK) << "elements stay writable while locked";
  // A variant holding the locked array must not free it either.
  VARIANT holder = MakeVariant(VT_ARRAY | VT_VARIANT), empty = MakeVariant(VT_EMPTY);
  holder.parray = psa;
  EXPECT_EQ(VariantClear(&holder), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(VariantCopy(&holder, &empty), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(holder.parray, psa);

  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
  ASSERT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  ASSERT_EQ(SafeArrayRedim(psa, &bigger), S_OK);
  EXPECT_EQ(Get(psa, 0, 1), "kept");
  EXPECT_EQ(VariantClear(&holder), S_OK);  // now frees the array
}

// An element whose last release reaches back into the array that held it.
class Reentrant final : public ComObject<IUnknown> {
 public:
  Reentrant(SAFEARRAY* array, std::vector<HRESULT>* seen) : array_(array), seen_(seen) {}

 private:
  ~Reentrant() override { seen_->push_back(SafeArrayDestroy(array_)); }
  SAFEARRAY* array_;
  std::vector<HRESULT>* seen_;
};

TEST(OleSafeArrayTest, ReleasingAnElementCannotFreeTheArrayUnderneath) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  ASSERT_NE(psa, nullptr);
  std::vector<HRESULT> seen;
  const std::vector<HRESULT> refused = {DISP_E_ARRAYISLOCKED};
  auto put = [&](LONG index) {
    seen.clear();
    IUnknown* element = new Reentrant(psa, &seen);
    EXPECT_EQ(SafeArrayPutElement(psa, &index, element), S_OK);
    element->Release();  // the array holds the only reference now
  };
  put(0);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, nullptr), S_OK);  // overwrite releases it
  EXPECT_EQ(seen, refused);
  put(1);
  SAFEARRAYBOUND one{1, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &one), S_OK);  // shrinking releases element 1
  EXPECT_EQ(seen, refused);
  put(0);
  ASSERT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(seen, refused);
}

TEST(OleGlobalMemoryTest, MoveableBlockLifecycle) {
  HGLOBAL h = GlobalAlloc(GHND, 16);
  ASSERT_NE(h, nullptr);
  auto* p = static_cast<unsigned char*>(GlobalLock(h));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "0123456789abcdef", 16);
  EXPECT_EQ(GlobalLock(h), p);
  EXPECT_TRUE(GlobalUnlock(h)) << "still locked once";
  EXPECT_REFUSED(GlobalUnlock(h), ERROR_SUCCESS);
  EXPECT_REFUSED(GlobalUnlock(h), ERROR_NOT_LOCKED);

  // Growing an unlocked block keeps the handle and the bytes; the new bytes are zero.
  ASSERT_EQ(GlobalReAlloc(h, 4096, GMEM_MOVEABLE | GMEM_ZEROINIT), h);
  p = static_cast<unsigned char*>(GlobalLock(h));
  EXPECT_EQ(std::memcmp(p, "0123456789abcdef", 16), 0);
  EXPECT_EQ(p[4095], 0);
  // A locked block does not move: growing fails, shrinking works in place, and growing back
  // within the old size shows zeros, not the old bytes.
  EXPECT_EQ(GlobalReAlloc(h, 1 << 20, GMEM_MOVEABLE), nullptr);
  EXPECT_EQ(GlobalSize(h), 4096u);
  ASSERT_EQ(GlobalReAlloc(h, 4, GMEM_MOVEABLE), h);
  ASSERT_EQ(GlobalReAlloc(h, 16, GMEM_MOVEABLE), h);
  EXPECT_EQ(std::memcmp(p, "0123\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GlobalFree(h), nullptr);
  // The freed handle now fails cleanly, like any bogus handle.
  int local = 0;
  for (HGLOBAL bogus : {h, HGLOBAL(&local), HGLOBAL(0x1234), INVALID_HANDLE_VALUE}) {
    EXPECT_REFUSED(GlobalLock(bogus), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GlobalSize(bogus), 0u);
    EXPECT_EQ(GlobalFree(bogus), bogus);
    EXPECT_EQ(GlobalReAlloc(bogus, 8, GMEM_MOVEABLE), nullptr);
    EXPECT_FALSE(GlobalUnlock(bogus));
  }

  // A fixed block is its own address and moves only when the caller allows it.
  h = GlobalAlloc(GPTR, 4);
  ASSERT_NE(h, nullptr);
  std::memcpy(h, "abcd", 4);
  EXPECT_EQ(GlobalReAlloc(h, 1 << 16, 0), nullptr);
  HGLOBAL moved = GlobalReAlloc(h, 1 << 16, GMEM_MOVEABLE);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(std::memcmp(moved, "abcd", 4), 0);
  EXPECT_EQ(GlobalFree(moved), nullptr);
  EXPECT_REFUSED(GlobalAlloc(GMEM_MOVEABLE | GMEM_MODIFY, 8), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GlobalAlloc(GHND, SIZE_MAX), nullptr) << "a huge request fails instead of wrapping";
}

}  // namespace
