// VARIANT copies and clears: who owns what, and copies from inside the destination.
#include "tests/platform/ole/OleTestSupport.h"

namespace {

TEST(VariantTest, CopyAndClearOwnTheirValues) {
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

TEST(VariantTest, NestedArraysCopyDeeplyAndMayCopyFromInsideTheDestination) {
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

}  // namespace
