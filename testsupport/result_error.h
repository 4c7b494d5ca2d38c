// A small helper shared by the crypto tests: the error of a Result that may
// hold a value. Readable byte strings come from core/test_text.h.
#ifndef TOLLBROOK_TESTSUPPORT_RESULT_ERROR_H_
#define TOLLBROOK_TESTSUPPORT_RESULT_ERROR_H_

#include "base/error.h"

namespace tollbrook::testing {

// The error held, or Unexpected when the result holds a value.
template <typename T>
Error errorOf(const Result<T>& result) {
  return result ? Error::Unexpected : result.error();
}

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTSUPPORT_RESULT_ERROR_H_
