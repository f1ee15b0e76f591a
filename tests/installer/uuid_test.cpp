#include <set>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/uuid.h"

namespace korvel {
namespace {

TEST(RandomUuid, IsFreshUpperCaseVersion4) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string uuid = randomUuid();
        ASSERT_THAT(uuid, ::testing::MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"));
        ASSERT_TRUE(seen.insert(uuid).second) << "repeated " << uuid;
    }
}

} // namespace
} // namespace korvel
