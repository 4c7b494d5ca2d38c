// The process's file-creation mask. Process-wide; set on the main thread
// during start-up, before any other thread creates files.
#ifndef TOLLBROOK_PLATFORM_UMASK_H_
#define TOLLBROOK_PLATFORM_UMASK_H_

#include <sys/types.h>

namespace tollbrook {

// umask(2): installs `mask` (only its permission bits count) and returns the
// previous one. Cannot fail.
mode_t setFileCreationMask(mode_t mask);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_UMASK_H_
