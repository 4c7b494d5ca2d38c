// The identity this host seals with: the signing domain (d=), the selector
// (s=) and the private key whose public half is published under them. They
// travel as one unit, so that a reload can never pair a new selector with an
// old key. The main thread builds it (and publishes it through a reload
// slot); workers only read it, and the key needs no lock to sign with.
#ifndef TOLLBROOK_DAEMON_RELOAD_SEAL_IDENTITY_H_
#define TOLLBROOK_DAEMON_RELOAD_SEAL_IDENTITY_H_

#include <memory>
#include <string>
#include <string_view>

#include "base/error.h"
#include "crypto/private_key.h"

namespace tollbrook {

struct SealIdentity {
  std::string domain;
  std::string selector;
  PrivateKey key;  // wiped and freed with the identity
};

// An identity owning `key`. Errors: InvalidArgument when the domain or the
// selector is empty or the key is, OutOfMemory (the key is released then).
[[nodiscard]] Result<std::unique_ptr<SealIdentity>> makeSealIdentity(std::string_view domain,
                                                                     std::string_view selector,
                                                                     PrivateKey key);

// The release routine of a reload slot: releases the key, then frees the
// identity. Null does nothing.
void destroySealIdentity(SealIdentity* identity);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_RELOAD_SEAL_IDENTITY_H_
