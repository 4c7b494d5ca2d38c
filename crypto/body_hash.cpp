// SHA-256 body hashes through OpenSSL, whole or while canonicalizing.
#include <algorithm>
#include <new>

#include <openssl/evp.h>

#include "crypto/canonicalization.h"

namespace tollbrook {
namespace {

// Slice of input canonicalized before the output is hashed, so the canonical
// bytes are still in cache when the hash reads them.
constexpr size_t kSliceBytes = 64 * 1024;

}  // namespace

// The only way these one-call digests fail is that OpenSSL cannot allocate
// its context, hence OutOfMemory.
Result<Sha256Digest> bodyHash(std::string_view canonicalBody) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(canonicalBody.data(), canonicalBody.size(), digest.data(), &length, EVP_sha256(),
                 nullptr) != 1 ||
      length != digest.size()) {
    return fail(Error::OutOfMemory);
  }
  return digest;
}

BodyHasher::BodyHasher(CanonicalizationMode mode) : canon_(mode), context_(EVP_MD_CTX_new()) {
  unusable_ = !context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1;
}

// Hashes all but the last two canonical bytes and drops them from the
// canonicalizer's output.
Status BodyHasher::drain() {
  std::string& output = canon_.output_;
  if (output.size() <= 2) return {};
  const size_t ready = output.size() - 2;
  if (EVP_DigestUpdate(context_.get(), output.data(), ready) != 1) {
    unusable_ = true;
    return fail(Error::OutOfMemory);
  }
  output.erase(0, ready);
  return {};
}

Status BodyHasher::update(std::string_view bytes) {
  if (unusable_) return fail(Error::OutOfMemory);
  while (!bytes.empty()) {
    const size_t take = std::min(bytes.size(), kSliceBytes);
    try {
      // Room for the slice up front: the canonical form is about as long as
      // its input, and growing by doubling would copy it several times.
      canon_.output_.reserve(canon_.output_.size() + take + 2);
    } catch (const std::bad_alloc&) {
      unusable_ = true;
      return fail(Error::OutOfMemory);
    }
    if (auto status = canon_.update(bytes.substr(0, take)); !status) {
      unusable_ = true;
      return status;
    }
    if (auto status = drain(); !status) return status;
    bytes.remove_prefix(take);
  }
  return {};
}

Result<Sha256Digest> BodyHasher::finish() {
  if (unusable_) return fail(Error::OutOfMemory);
  try {
    canon_.finishBody();
  } catch (const std::bad_alloc&) {
    unusable_ = true;
    return fail(Error::OutOfMemory);
  }
  const std::string& rest = canon_.output_;
  Sha256Digest digest{};
  unsigned int length = 0;
  unusable_ = true;  // spent either way
  if (EVP_DigestUpdate(context_.get(), rest.data(), rest.size()) != 1 ||
      EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != digest.size()) {
    return fail(Error::OutOfMemory);
  }
  return digest;
}

Result<Sha256Digest> canonicalBodyHash(CanonicalizationMode mode, std::string_view body) {
  BodyHasher hasher(mode);
  if (auto status = hasher.update(body); !status) return fail(status.error());
  return hasher.finish();
}

}  // namespace tollbrook
