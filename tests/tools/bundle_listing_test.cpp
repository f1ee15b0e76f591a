#include "transport/bundle_listing.h"

#include <gtest/gtest.h>

#include "policy/bootstrap_error.h"

namespace korvel {
namespace {

const std::string digestA(64, 'a');
const std::string digestB(64, 'b');

TEST(BundleListing, ParsesExactlyWhatItWrites) {
    const std::vector<BundleFile> files = {
        {"Contents/MacOS/Korvel Engine", 7, digestA, true},
        {"Contents/Info.plist", 0, digestB, false},
        {std::string(codeResourcesPath), 99, digestA, false},
    };
    const std::string listing = canonicalListing(files);
    EXPECT_EQ(listing,
              "korvel bundle listing 1\n" + digestB + " 0 - Contents/Info.plist\n" + digestA +
                  " 7 x Contents/MacOS/Korvel Engine\n")
        << "sorted by path, CodeResources left out, blanks kept in the path";
    const std::vector<BundleFile> expected = {files[1], files[0]};
    EXPECT_EQ(parseListing(listing), expected);
}

TEST(BundleListing, RefusesEveryNonCanonicalForm) {
    const std::string header = "korvel bundle listing 1\n";
    const std::string good = digestA + " 7 - Contents/a\n";
    const struct {
        const char* what;
        std::string listing;
    } cases[] = {
        {"another header", "korvel bundle listing 2\n" + good},
        {"no final line break", header + digestA + " 7 - Contents/a"},
        {"uppercase digest", header + std::string(64, 'A') + " 7 - Contents/a\n"},
        {"short digest", header + std::string(63, 'a') + " 7 - Contents/a\n"},
        {"size with a leading zero", header + digestA + " 07 - Contents/a\n"},
        {"negative size", header + digestA + " -7 - Contents/a\n"},
        {"size beyond 64 bits", header + digestA + " 99999999999999999999 - Contents/a\n"},
        {"unknown mark", header + digestA + " 7 X Contents/a\n"},
        {"empty path", header + digestA + " 7 - \n"},
        {"absolute path", header + digestA + " 7 - /Contents/a\n"},
        {"dot-dot component", header + digestA + " 7 - Contents/../a\n"},
        {"empty component", header + digestA + " 7 - Contents//a\n"},
        {"missing field", header + digestA + " 7 Contents/a\n"},
        {"paths out of order", header + digestA + " 7 - Contents/b\n" + good},
        {"repeated path", header + good + good},
        {"CodeResources listed", header + digestA + " 7 - " + std::string(codeResourcesPath) + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW(parseListing(c.listing), BootstrapError);
    }
}

} // namespace
} // namespace korvel
