#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "installer/online_installer.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"
#include "tests/support/outcome.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"

namespace korvel::test {

// An install root whose parents do not exist yet, and stubs for the installer's three injected
// operations: the network (URL -> body, stored by deliver), a signature check that refuses the
// bundles refusesSignature names, and a log of status reports. Everything else the installer
// touches is real. The stubs point back at this object, which therefore stays in place.
struct InstallRoot {
    TempDir temp;
    std::filesystem::path root = temp / "data/Korvel/OnlineBetaClient";
    std::map<std::string, std::string> network;
    std::function<bool(const std::filesystem::path& app)> refusesSignature = [](const std::filesystem::path&) {
        return false;
    };
    std::vector<std::string> requests;
    std::vector<std::pair<std::string, double>> statuses;
    PreparedClient client;
    UniqueFd otherLauncher;  // a descriptor of the update lock that another launcher holds, when a test takes it
    InstallerOptions options;

    // One launcher run: prepare() and its outcome, paths relative to the root; client holds what it prepared.
    std::string prepare() {
        client = {};
        const auto download = [this](const std::string& url, const std::filesystem::path& destination, std::int64_t,
                                     const Progress& progress) {
            requests.push_back(url);
            deliver(network, url, destination, progress);
        };
        const auto verifySignature = [this](const std::filesystem::path& app) {
            if (refusesSignature(app)) {
                throw BootstrapError::invalid("The bundle's signature is not valid.");
            }
        };
        const auto status = [this](const std::string& message, double fraction) {
            statuses.emplace_back(message, fraction);
        };
        return outcomeOf([&] { client = OnlineInstaller(root, download, verifySignature, status, options).prepare(); }, root);
    }

    // What the network offers: release, with a manifest the policy refuses when schema is not 1.
    void offer(const SampleRelease& release, int schema = 1) {
        network = release.served();
        ReleaseManifest manifest = release.manifest();
        manifest.schema = schema;
        network[BootstrapPolicy::manifestURL] = encodeJson(manifest);
    }

    // What an earlier run left: release installed and selected. Its network is gone.
    void installEarlier(const SampleRelease& release) {
        offer(release);
        prepare();
        network.clear();
    }

    // The release whose entry point the last run prepared, "" for none (its path when it is no entry point).
    std::string started() const {
        const std::filesystem::path relative = client.executable.lexically_relative(root / "releases");
        const std::filesystem::path name = relative.empty() ? "" : *relative.begin();
        return relative == name / BootstrapPolicy::entrypoint ? name.string() : client.executable.string();
    }

    std::string selection() const {
        return std::filesystem::is_regular_file(root / "current.json") ? readFile(root / "current.json") : "";
    }
};

} // namespace korvel::test
