#include <gtest/gtest.h>

#include "installer/atomic_write.h"
#include "tests/support/expect_error.h"
#include "tests/support/temp_dir.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

// Success is covered through commit (content, no leftover); this is the failure path.
TEST(WriteFileAtomically, AFailedRenameKeepsTheTargetAndRemovesTheTemporaryFile) {
    TempDir temp;
    writeFile(temp / "target/inside", "kept");
    EXPECT_TRUE(throwsSystemError([&] { writeFileAtomically(temp / "target", "new"); }, EISDIR, temp / "target"));
    EXPECT_EQ(readFile(temp / "target/inside"), "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 1)
        << "a temporary file was left behind";
}

} // namespace
} // namespace korvel::testing
