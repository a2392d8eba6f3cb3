// What the file-library fuzz targets share: the fixed key their seed corpora were made with
// (key pair from 32 bytes of 0x42, user name "fuzz"), and the check that stops a run when an
// invariant breaks.
//
// Header-only: every tests/fuzz/*Fuzz.cpp is a program of its own.
#pragma once

#include <errno.h>
#include <sodium.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "suite/QvKeyBlob.h"

namespace fuzz {

// Starts the crypto library; a target cannot run without it.
inline void StartSodium() {
  if (sodium_init() < 0) abort();
}

// Fills `blob` with the key blob of the key pair seeded with 32 bytes of `seedByte`; the secret
// half only when `withSecret`.
inline void SeededKeyBlob(std::uint8_t (&blob)[kKeyBlobSize], std::uint8_t seedByte,
                          bool withSecret) {
  std::uint8_t seed[32];
  std::memset(seed, seedByte, sizeof seed);
  std::uint8_t secret[kKeyBlobKeySize];
  std::memset(blob, 0, sizeof blob);
  std::memcpy(blob, "QVKB", 4);
  blob[4] = kKeyBlobVersionX25519;
  blob[5] = withSecret ? kKeyBlobHasSecret : 0;
  crypto_box_seed_keypair(blob + kKeyBlobPublicOffset, secret, seed);
  if (withSecret) std::memcpy(blob + kKeyBlobSecretOffset, secret, sizeof secret);
}

// The seed byte of the fixed key the corpora were made with.
inline constexpr std::uint8_t kFixedSeed = 0x42;

// Stops the run, naming the target and what broke, unless `condition` holds.
inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    abort();
  }
}

}  // namespace fuzz
