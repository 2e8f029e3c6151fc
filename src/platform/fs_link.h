// Whether a folder entry is a link (symbolic link, junction or other reparse point), so
// that a folder walk does not follow links between folders.
#pragma once
#include <string>

namespace platform {

bool IsLink(const std::string& path);

}  // namespace platform
