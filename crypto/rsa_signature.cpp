// RSA-SHA256 signing with a loaded key. Each call makes its own digest
// context, so any number of threads may sign with one shared key.
#include <new>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "crypto/private_key.h"

namespace tollbrook {
namespace {

[[nodiscard]] Status startSigning(EVP_MD_CTX* context, const PrivateKey& key,
                                  std::string_view data) {
  if (key.pkey() == nullptr ||
      EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key.pkey()) != 1) {
    return fail(Error::SignInitFailed);
  }
  if (EVP_DigestSignUpdate(context, data.data(), data.size()) != 1) {
    return fail(Error::SignUpdateFailed);
  }
  return {};
}

[[nodiscard]] Result<std::string> finishSigning(EVP_MD_CTX* context) {
  size_t length = 0;
  if (EVP_DigestSignFinal(context, nullptr, &length) != 1) return fail(Error::SignFinalFailed);
  std::string signature;
  try {
    signature.resize(length);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  if (EVP_DigestSignFinal(context, reinterpret_cast<unsigned char*>(signature.data()), &length) !=
      1) {
    return fail(Error::SignFinalFailed);
  }
  signature.resize(length);  // shrinks in place
  return signature;
}

}  // namespace

Result<std::string> signRsaSha256(const PrivateKey& key, std::string_view data) {
  EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context) return fail(Error::CtxCreateFailed);
  auto signature = [&]() -> Result<std::string> {
    if (auto status = startSigning(context.get(), key, data); !status) return fail(status.error());
    return finishSigning(context.get());
  }();
  if (!signature) ERR_clear_error();
  return signature;
}

}  // namespace tollbrook
