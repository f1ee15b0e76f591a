#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "installer/uuid.h"

namespace korvel {
namespace {

TEST(RandomUuid, IsFreshUpperCaseVersion4) {
    const std::regex canonical("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string uuid = randomUuid();
        ASSERT_TRUE(std::regex_match(uuid, canonical)) << uuid;
        ASSERT_TRUE(seen.insert(uuid).second) << "repeated " << uuid;
    }
}

} // namespace
} // namespace korvel
