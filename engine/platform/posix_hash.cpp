// SHA-256 on POSIX hosts: OpenSSL's libcrypto through EVP, which chooses the processor's SHA
// instructions where they exist. The algorithm is fetched once and shared by every hasher.
#include <openssl/evp.h>

#include <cerrno>

#include "engine/platform/platform.h"
#include "engine/platform/posix_sys.h"

namespace {

// Fetched once: an implicit fetch on every message would cost a lookup per small file.
const EVP_MD* sha256() {
  static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

EVP_MD_CTX* context(PlatSha256* hasher) { return reinterpret_cast<EVP_MD_CTX*>(hasher); }

// libcrypto keeps its reasons on a queue of its own; the engine's callers want one line.
int failed(const char* why) { return platRecordErrorNoted(EIO, why); }

}  // namespace

PlatSha256* platSha256Open() {
  const EVP_MD* md = sha256();
  EVP_MD_CTX* ctx = md ? EVP_MD_CTX_new() : nullptr;
  if (!ctx || EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    failed("(libcrypto offers no SHA-256)");
    return nullptr;
  }
  return reinterpret_cast<PlatSha256*>(ctx);
}

int platSha256Add(PlatSha256* hasher, const void* bytes, size_t count) {
  if (count == 0) return 0;
  return EVP_DigestUpdate(context(hasher), bytes, count) == 1 ? 0 : failed("(SHA-256 failed)");
}

int platSha256Finish(PlatSha256* hasher, unsigned char digest[PLAT_SHA256_SIZE]) {
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context(hasher), digest, &size) != 1 || size != PLAT_SHA256_SIZE ||
      EVP_DigestInit_ex(context(hasher), sha256(), nullptr) != 1)
    return failed("(SHA-256 failed)");
  return 0;
}

void platSha256Close(PlatSha256* hasher) {
  if (hasher) EVP_MD_CTX_free(context(hasher));
}
