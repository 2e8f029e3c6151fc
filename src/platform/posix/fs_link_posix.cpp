#include "platform/fs_link.h"

#include <sys/stat.h>

namespace platform {

bool IsLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace platform
