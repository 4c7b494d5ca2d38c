#include "crypto/openssl_owners.h"

#include <openssl/bio.h>
#include <openssl/evp.h>

namespace tollbrook {

void EvpPkeyFree::operator()(EVP_PKEY* key) const {
  EVP_PKEY_free(key);
}

void EvpMdCtxFree::operator()(EVP_MD_CTX* context) const {
  EVP_MD_CTX_free(context);
}

void BioFree::operator()(BIO* bio) const {
  BIO_free(bio);
}

}  // namespace tollbrook
