#pragma once

#include <string>

namespace korvel {

// A fresh random version-4 UUID in the canonical 36-character upper-case form.
std::string randomUuid();

} // namespace korvel
