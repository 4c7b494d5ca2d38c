// Owners of the OpenSSL objects the system holds: a unique_ptr per type whose
// deleter calls the matching free function. Each owner belongs to whoever holds
// it; the objects are not shared between threads unless their user says so
// (a loaded signing key is read-only after loading). Only <openssl/types.h> is
// needed here, so headers can hold owners without the whole EVP interface.
#ifndef TOLLBROOK_CRYPTO_OPENSSL_OWNERS_H_
#define TOLLBROOK_CRYPTO_OPENSSL_OWNERS_H_

#include <memory>

#include <openssl/types.h>

namespace tollbrook {

struct EvpPkeyFree {
  void operator()(EVP_PKEY* key) const;
};
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;

struct EvpMdCtxFree {
  void operator()(EVP_MD_CTX* context) const;
};
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;

struct BioFree {
  void operator()(BIO* bio) const;
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

}  // namespace tollbrook

#endif  // TOLLBROOK_CRYPTO_OPENSSL_OWNERS_H_
