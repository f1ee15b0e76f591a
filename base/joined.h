#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The items separated by separator, for messages that list names.
std::string joined(const std::vector<std::string>& items, std::string_view separator = ", ");

} // namespace korvel
