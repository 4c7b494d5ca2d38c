#include "platform/umask.h"

#include <sys/stat.h>

namespace tollbrook {

mode_t setFileCreationMask(mode_t mask) {
  return ::umask(mask & 0777);
}

}  // namespace tollbrook
