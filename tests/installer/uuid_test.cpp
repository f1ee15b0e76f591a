#include <set>
#include <string>

#include <gtest/gtest.h>

#include "installer/uuid.h"

namespace korvel {
namespace {

// Canonical upper-case form 8-4-4-4-12, version nibble 4, variant 10xx.
bool isCanonicalVersion4(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = text[i];
        if (hyphen != (c == '-') || (!hyphen && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))) {
            return false;
        }
    }
    return text[14] == '4' && std::string("89AB").find(text[19]) != std::string::npos;
}

TEST(RandomUuid, IsFreshUpperCaseVersion4) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string uuid = randomUuid();
        ASSERT_TRUE(isCanonicalVersion4(uuid)) << uuid;
        ASSERT_TRUE(seen.insert(uuid).second) << "repeated " << uuid;
    }
}

} // namespace
} // namespace korvel
