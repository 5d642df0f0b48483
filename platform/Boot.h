// Work for the next Windows start, and the start itself.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"

namespace kv {

// The entries of a multi-string value (empty entries kept).
std::vector<std::string> SplitMultiSz(const std::string& data);

// The moves MoveFileEx recorded for the next boot: (source, target) as Windows keeps
// them ("\??\C:\x", "!\??\C:\y" or "" for a deletion).
std::vector<std::pair<std::string, std::string>> PendingRenames();

}  // namespace kv
