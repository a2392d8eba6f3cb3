// The rows of a listing, collected in memory and handed to the caller as one SAFEARRAY of
// VARIANT with bounds {columns, rows}, so the caller's VARIANT is touched only when the
// listing succeeds.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/Ole.h"
#include "platform/WinTypes.h"

namespace container {

class RowArray {
 public:
  explicit RowArray(int columns) : columns_(static_cast<std::size_t>(columns)) {}
  ~RowArray();
  RowArray(const RowArray&) = delete;
  RowArray& operator=(const RowArray&) = delete;

  void AddRow() { cells_.resize(cells_.size() + columns_, VARIANT{}); }
  std::size_t Rows() const { return cells_.size() / columns_; }
  // Cells of the row added last.
  void PutInt(int column, LONG value);
  [[nodiscard]] bool PutText(int column, std::string_view text);
  // Moves the rows into *out (cleared first unless empty). False when there is no row or
  // the array cannot be made; *out is untouched then.
  [[nodiscard]] bool MoveTo(VARIANT* out);

 private:
  VARIANT& Cell(int column) {
    return cells_[cells_.size() - columns_ + static_cast<std::size_t>(column)];
  }

  std::size_t columns_;
  std::vector<VARIANT> cells_;
};

}  // namespace container
