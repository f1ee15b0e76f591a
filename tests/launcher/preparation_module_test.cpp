#include <gtest/gtest.h>

#include "launcher/preparation_module.h"
#include "tests/support/temp_dir.h"

namespace korvel {
namespace {

TEST(PrepareWithModule, ReportsAModuleThatCannotBeLoadedWithItsName) {
    const testing::TempDir dir;
    testing::writeFile(dir / "not-a-library.so", "not an ELF file");
    for (const char* name : {"missing.so", "not-a-library.so"}) {
        SCOPED_TRACE(name);
        try {
            prepareWithModule(dir / name, [](const std::string&, double) {});
            ADD_FAILURE() << "a preparation ran";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find((dir / name).string()), std::string::npos)
                << "the description does not name the module: " << error.what();
        }
    }
}

} // namespace
} // namespace korvel
