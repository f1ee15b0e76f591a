#include <gtest/gtest.h>

#include "launcher/demo_transport.h"

namespace korvel {
namespace {

TEST(DemoTransportOptions, SendBothApprovedHostsToTheDemoAddressWhenThereIsOne) {
    const TransportOptions options = demoTransportOptions("/tmp/demo-ca.pem", "127.0.0.1:8443");
    EXPECT_EQ(options.caFile, "/tmp/demo-ca.pem");
    EXPECT_EQ(options.connectTo, (std::map<std::string, std::string>{{KORVEL_TEST_WEB_HOST, "127.0.0.1:8443"},
                                                                      {KORVEL_TEST_DOWNLOAD_HOST, "127.0.0.1:8443"}}));
    EXPECT_TRUE(demoTransportOptions("/tmp/demo-ca.pem", "").connectTo.empty()) << "no address still reroutes hosts";
}

} // namespace
} // namespace korvel
