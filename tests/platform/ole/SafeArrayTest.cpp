// SAFEARRAY, as the row arrays of the container listings use it: shape and layout, index
// checks and overflows, resizing, locks, and releases that reach back into the array.
#include <string>
#include <vector>

#include "tests/platform/ole/OleTestSupport.h"

namespace {

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

TEST(SafeArrayTest, ShapeLayoutIndexChecksAndOverflows) {
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

TEST(SafeArrayTest, RedimKeepsFreesAndRelabelsRows) {
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

TEST(SafeArrayTest, LockedArrayRefusesRedimAndDestroy) {
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

TEST(SafeArrayTest, ReleasingAnElementCannotFreeTheArrayUnderneath) {
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

}  // namespace
