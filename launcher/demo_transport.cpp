#include "launcher/demo_transport.h"

#include <string_view>

#include "policy/bootstrap_policy.h"

namespace korvel {
namespace {

// The host of one of the policy's own "https://host/..." addresses.
std::string hostOf(std::string_view url) {
    constexpr std::string_view scheme = "https://";
    url.remove_prefix(url.starts_with(scheme) ? scheme.size() : 0);
    return std::string(url.substr(0, url.find_first_of(":/")));
}

} // namespace

TransportOptions demoTransportOptions(const std::filesystem::path& caFile, const std::string& connectAddress) {
    TransportOptions options{.caFile = caFile, .connectTo = {}};
    if (!connectAddress.empty()) {
        options.connectTo = {{hostOf(BootstrapPolicy::manifestURL), connectAddress},
                             {hostOf(BootstrapPolicy::downloadBase), connectAddress}};
    }
    return options;
}

} // namespace korvel
