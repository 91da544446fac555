// SHA-256 on Windows: the system's CNG (BCrypt), which chooses the processor's SHA
// instructions where they exist. The algorithm provider is opened once and shared.
#include <windows.h>
#include <bcrypt.h>

#include "engine/platform/platform.h"
#include "engine/platform/win32_sys.h"

namespace {

// Opened once: opening a provider costs far more than hashing a small file.
BCRYPT_ALG_HANDLE provider() {
  static BCRYPT_ALG_HANDLE algorithm = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                    BCRYPT_HASH_REUSABLE_FLAG)))
      h = nullptr;
    return h;
  }();
  return algorithm;
}

// A hasher is the system's reusable hash object itself (its memory the system's own): a
// finish leaves it ready for the next message.
BCRYPT_HASH_HANDLE handle(PlatSha256* hasher) { return reinterpret_cast<BCRYPT_HASH_HANDLE>(hasher); }

int failed() { return (int)failText("the system's SHA-256 (CNG) failed"); }

}  // namespace

PlatSha256* platSha256Open() {
  BCRYPT_ALG_HANDLE algorithm = provider();
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!algorithm || !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0,
                                                     BCRYPT_HASH_REUSABLE_FLAG))) {
    failed();
    return nullptr;
  }
  return reinterpret_cast<PlatSha256*>(hash);
}

int platSha256Add(PlatSha256* hasher, const void* bytes, size_t count) {
  auto* at = static_cast<UCHAR*>(const_cast<void*>(bytes));
  while (count > 0) {  // the call takes a 32-bit count
    ULONG piece = count > 0x40000000u ? 0x40000000u : (ULONG)count;
    if (!BCRYPT_SUCCESS(BCryptHashData(handle(hasher), at, piece, 0))) return failed();
    at += piece;
    count -= piece;
  }
  return 0;
}

int platSha256Finish(PlatSha256* hasher, unsigned char digest[PLAT_SHA256_SIZE]) {
  return BCRYPT_SUCCESS(BCryptFinishHash(handle(hasher), digest, PLAT_SHA256_SIZE, 0)) ? 0
                                                                                      : failed();
}

void platSha256Close(PlatSha256* hasher) {
  if (hasher) BCryptDestroyHash(handle(hasher));
}
