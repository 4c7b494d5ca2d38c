#include "daemon/reload/seal_identity.h"

#include <new>
#include <utility>

namespace tollbrook {

Result<std::unique_ptr<SealIdentity>> makeSealIdentity(std::string_view domain,
                                                       std::string_view selector, PrivateKey key) {
  if (domain.empty() || selector.empty() || key.pkey() == nullptr) {
    return fail(Error::InvalidArgument);
  }
  try {
    auto identity = std::make_unique<SealIdentity>();
    identity->domain = domain;
    identity->selector = selector;
    identity->key = std::move(key);
    return identity;
  } catch (const std::bad_alloc&) {
    // `key` still owns the key here and releases it as it goes.
    return fail(Error::OutOfMemory);
  }
}

void destroySealIdentity(SealIdentity* identity) {
  if (identity == nullptr) return;
  releasePrivateKey(identity->key);
  delete identity;
}

}  // namespace tollbrook
