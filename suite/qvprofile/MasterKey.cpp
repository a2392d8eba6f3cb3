// A user's master key in memory (see MasterKey.h).
#include "suite/qvprofile/MasterKey.h"

#include <sodium.h>

#include "suite/qvprofile/StoreCrypto.h"

QvMasterKey::QvMasterKey() {
  if (qvstore::EnsureSodium()) bytes_ = static_cast<unsigned char*>(sodium_malloc(kSize));
  if (bytes_ != nullptr) sodium_memzero(bytes_, kSize);
}

QvMasterKey::~QvMasterKey() {
  if (bytes_ != nullptr) sodium_free(bytes_);  // wipes before freeing
}
