#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "launcher/preparation_module.h"
#include "tests/support/expect_error.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

TEST(PrepareWithModule, ReportsAModuleThatCannotBeLoadedWithItsName) {
    const testing::TempDir dir;
    testing::writeFile(dir / "not-a-library.so", "not an ELF file");
    for (const char* name : {"missing.so", "not-a-library.so"}) {
        const auto ignore = [](const std::string&, double) {};
        const auto error = testing::thrownBy<std::runtime_error>([&] { prepareWithModule(dir / name, ignore); });
        ASSERT_TRUE(error) << "a preparation ran with " << name;
        EXPECT_THAT(error->what(), ::testing::HasSubstr((dir / name).string())) << "the description names the module";
    }
}

} // namespace
} // namespace korvel
