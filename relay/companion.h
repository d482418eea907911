#pragma once

#include <string>
#include <vector>

namespace tavrik {

// What follows the script path on the companion tool's command line.
inline const std::vector<std::string> kPushArgs{"clip", "push", "--stdin"};
inline const std::vector<std::string> kPullArgs{"clip", "pull", "--print"};

}  // namespace tavrik
