// Secrets as the suite holds them in memory: a user's master key once the user passed
// verification, and a password read from a prompt, a file or standard input. Both live in
// guarded memory (sodium_malloc): locked out of swap, left out of core dumps, between
// inaccessible pages so a read past either end faults, and wiped when freed.
#pragma once

#include <cstddef>
#include <string_view>

#include "suite/SuiteExport.h"

// A user's 32-byte master key in guarded memory.
class QV_SUITE_API QvMasterKey {
 public:
  static constexpr std::size_t kSize = 32;
  QvMasterKey();
  ~QvMasterKey();
  QvMasterKey(const QvMasterKey&) = delete;
  QvMasterKey& operator=(const QvMasterKey&) = delete;

  // False when the guarded memory could not be allocated.
  bool Valid() const { return bytes_ != nullptr; }
  unsigned char* Data() { return bytes_; }
  const unsigned char* Data() const { return bytes_; }

 private:
  unsigned char* bytes_ = nullptr;
};

// A password in guarded memory of a fixed capacity (the longest password and a line end).
// Moving hands the memory over; Clear wipes it.
class QV_SUITE_API QvSecretText {
 public:
  static constexpr std::size_t kCapacity = 1026;
  QvSecretText();
  ~QvSecretText();
  QvSecretText(QvSecretText&& other) noexcept;
  QvSecretText& operator=(QvSecretText&& other) noexcept;
  QvSecretText(const QvSecretText&) = delete;
  QvSecretText& operator=(const QvSecretText&) = delete;

  // False when the guarded memory could not be allocated.
  bool Valid() const { return bytes_ != nullptr; }
  // Replaces the text; false (and empty) when it is longer than kCapacity or not Valid.
  bool Assign(std::string_view text);
  // Wipes the text and makes it empty.
  void Clear();
  // Keeps the first `size` bytes and wipes the rest.
  void Truncate(std::size_t size);
  std::string_view View() const { return {bytes_, size_}; }
  bool Empty() const { return size_ == 0; }
  std::size_t Size() const { return size_; }
  // The memory to read into; SetSize says how much of it holds the text.
  char* Buffer() { return bytes_; }
  void SetSize(std::size_t size);

 private:
  char* bytes_ = nullptr;
  std::size_t size_ = 0;
};
