// Secrets in guarded memory (see MasterKey.h).
#include "suite/qvprofile/MasterKey.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <utility>

QvMasterKey::QvMasterKey() {
  if (sodium_init() >= 0) bytes_ = static_cast<unsigned char*>(sodium_malloc(kSize));
  if (bytes_ != nullptr) sodium_memzero(bytes_, kSize);
}

QvMasterKey::~QvMasterKey() {
  if (bytes_ != nullptr) sodium_free(bytes_);  // wipes before freeing
}

QvSecretText::QvSecretText() {
  if (sodium_init() >= 0) bytes_ = static_cast<char*>(sodium_malloc(kCapacity));
  if (bytes_ != nullptr) sodium_memzero(bytes_, kCapacity);
}

QvSecretText::~QvSecretText() {
  if (bytes_ != nullptr) sodium_free(bytes_);  // wipes before freeing
}

QvSecretText::QvSecretText(QvSecretText&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}

QvSecretText& QvSecretText::operator=(QvSecretText&& other) noexcept {
  std::swap(bytes_, other.bytes_);
  std::swap(size_, other.size_);
  other.Clear();
  return *this;
}

bool QvSecretText::Assign(std::string_view text) {
  Clear();
  if (bytes_ == nullptr || text.size() > kCapacity) return false;
  std::memcpy(bytes_, text.data(), text.size());
  size_ = text.size();
  return true;
}

void QvSecretText::Clear() { Truncate(0); }

void QvSecretText::Truncate(std::size_t size) {
  if (bytes_ == nullptr) return;
  size_ = std::min(size, size_);
  sodium_memzero(bytes_ + size_, kCapacity - size_);
}

void QvSecretText::SetSize(std::size_t size) {
  size_ = bytes_ == nullptr ? 0 : std::min(size, kCapacity);
}
