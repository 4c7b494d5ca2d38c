// A small helper shared by the crypto tests: the error of a Result that may
// hold a value. Readable byte strings come from core/test_text.h.
#ifndef TOLLBROOK_CRYPTO_TEST_UTIL_H_
#define TOLLBROOK_CRYPTO_TEST_UTIL_H_

#include "core/error.h"

namespace tollbrook::testing {

// The error held, or Unexpected when the result holds a value.
template <typename T>
Error errorOf(const Result<T>& result) {
  return result ? Error::Unexpected : result.error();
}

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_CRYPTO_TEST_UTIL_H_
