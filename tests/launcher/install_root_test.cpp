#include <gtest/gtest.h>

#include "launcher/install_root.h"

namespace korvel {
namespace {

#if !defined(__APPLE__)
TEST(InstallRoot, UsesXdgDataHomeOnlyWhenItIsAnAbsolutePath) {
    const struct {
        const char* xdgDataHome;
        const char* root;
    } cases[] = {
        {"/data/player", "/data/player/Korvel/OnlineBetaClient"},
        {"", "/home/player/.local/share/Korvel/OnlineBetaClient"},
        {"relative/data", "/home/player/.local/share/Korvel/OnlineBetaClient"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("XDG_DATA_HOME=") + c.xdgDataHome);
        EXPECT_EQ(installRoot("/home/player", c.xdgDataHome), c.root);
    }
}
#else
TEST(InstallRoot, IsInTheUsersApplicationSupportFolder) {
    EXPECT_EQ(installRoot("/Users/player", "/data/player"),
              "/Users/player/Library/Application Support/Korvel/OnlineBetaClient");
}
#endif

} // namespace
} // namespace korvel
