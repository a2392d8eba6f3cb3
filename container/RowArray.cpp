// Listing rows handed over as one SAFEARRAY (see RowArray.h).
#include "container/RowArray.h"

#include <cstring>

#include "platform/Utf8.h"

namespace container {

RowArray::~RowArray() {
  for (VARIANT& cell : cells_) (void)VariantClear(&cell);
}

void RowArray::PutInt(int column, LONG value) {
  VARIANT& cell = Cell(column);
  cell.vt = VT_I4;
  cell.lVal = value;
}

bool RowArray::PutText(int column, std::string_view text) {
  BSTR value = SysAllocStringFromUtf8(text);
  if (value == nullptr) return false;
  VARIANT& cell = Cell(column);
  (void)VariantClear(&cell);
  cell.vt = VT_BSTR;
  cell.bstrVal = value;
  return true;
}

bool RowArray::MoveTo(VARIANT* out) {
  if (cells_.empty()) return false;
  SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(columns_), 0}, {static_cast<ULONG>(Rows()), 0}};
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (array == nullptr) return false;
  if (SafeArrayGetElemsize(array) != sizeof(VARIANT)) {
    (void)SafeArrayDestroy(array);
    return false;
  }
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) {
    (void)SafeArrayDestroy(array);
    return false;
  }
  // Element {c, r} lives at r * columns + c, the order the cells were collected in; the
  // array takes over what the cells own.
  std::memcpy(data, cells_.data(), cells_.size() * sizeof(VARIANT));
  cells_.clear();
  (void)SafeArrayUnaccessData(array);
  if (out->vt != VT_EMPTY) (void)VariantClear(out);
  out->vt = VT_ARRAY | VT_VARIANT;
  out->parray = array;
  return true;
}

}  // namespace container
