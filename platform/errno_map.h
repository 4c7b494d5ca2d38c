// Maps the platform's errno values onto Tollbrook's error kinds, so that system
// call failures reach messages under the same names on every platform.
#ifndef TOLLBROOK_PLATFORM_ERRNO_MAP_H_
#define TOLLBROOK_PLATFORM_ERRNO_MAP_H_

#include "base/error.h"

namespace tollbrook {

Error errorFromErrno(int err);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_ERRNO_MAP_H_
