#pragma once

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "base/system_error.h"
#include "base/unique_fd.h"
#include "installer/online_installer.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"
#include "tests/support/sample_release.h"
#include "tests/support/temp_dir.h"
#include "transport/transport_error.h"

// Stand-ins for the installer's three injected operations, and an install root to run them
// in. Everything else the installer touches is real: directories, files, modes, renames.
namespace korvel::testing {

// Writes body into destination the way the real download does: a new file created
// exclusively with mode 0600, at most limit bytes kept. Progress is told after the first
// half and once more at the end; a body over the limit fails after the limit is written.
inline void deliver(const std::filesystem::path& destination, std::string_view body, std::int64_t limit,
                    const Progress& progress) {
    const UniqueFd fd(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        throwSystemError(errno, "open", destination);
    }
    const std::string_view kept = body.substr(0, static_cast<std::size_t>(std::max<std::int64_t>(limit, 0)));
    for (const std::string_view part : {kept.substr(0, kept.size() / 2), kept.substr(kept.size() / 2)}) {
        if (::write(fd.get(), part.data(), part.size()) != static_cast<ssize_t>(part.size())) {
            throwSystemError(errno, "write", destination);
        }
        progress(static_cast<std::int64_t>(part.data() - kept.data() + part.size()));
    }
    if (kept.size() < body.size()) {
        throw TransportError(63, "Maximum file size exceeded");
    }
}

// The network as a map from URL to body. A URL it does not hold fails like an unreachable
// host, with the transport's own error type. onRequest, when set, sees every request first and
// may fail it its own way; fileWriter, when set, writes each release file in place of deliver.
struct StubNetwork {
    std::map<std::string, std::string> bodies;
    std::function<void(const std::filesystem::path& destination)> onRequest;
    std::function<void(const std::filesystem::path&, const std::string& body, const Progress&)> fileWriter;
    std::vector<std::string> requests;

    // Serves the release's manifest (manifestJson, or the release's own) and its files.
    void publish(const SampleRelease& release, const std::string& manifestJson = {}) {
        bodies[BootstrapPolicy::manifestURL] = manifestJson.empty() ? release.manifestJson() : manifestJson;
        for (const ReleaseFile& file : release.files()) {
            bodies[file.url] = release.contents.at(file.path);
        }
    }

    DownloadOperation operation() {
        return [this](const std::string& url, const std::filesystem::path& destination, std::int64_t limit,
                      const Progress& progress) {
            requests.push_back(url);
            if (onRequest) {
                onRequest(destination);
            }
            const auto body = bodies.find(url);
            if (body == bodies.end()) {
                throw TransportError(7, "Couldn't connect to server");
            }
            if (fileWriter && url != BootstrapPolicy::manifestURL) {
                fileWriter(destination, body->second, progress);
            } else {
                deliver(destination, body->second, limit, progress);
            }
        };
    }
};

using StatusReport = std::pair<std::string, double>;  // a message and its fraction

inline const StatusReport checkingForUpdates{"Checking for game updates…", 0.0};
inline const StatusReport checkingInstalled{"Checking installed game…", 0.0};

// Entries a finished run must never leave in the root, all hidden: staging directories, staged
// manifests, temporary files of atomic writes.
inline std::vector<std::string> stagingLeftovers(const std::filesystem::path& root) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
        if (entry.path().filename().string().starts_with(".")) {
            found.push_back(entry.path().filename());
        }
    }
    return found;
}

// An install root whose parents do not exist yet, and the stubs an installer for it uses: the
// network, a signature check that records each bundle and refuses those refusesSignature names,
// and a log of status reports. The stubs point back at this object, which therefore stays in place.
struct InstallRoot {
    TempDir temp;
    std::filesystem::path root = temp / "Application Support" / "Korvel" / "OnlineBetaClient";
    StubNetwork network;
    std::function<bool(const std::filesystem::path& app)> refusesSignature;
    std::vector<std::filesystem::path> signedApps;
    std::vector<StatusReport> reports;

    PreparedClient prepare() {
        return OnlineInstaller(
            root, network.operation(),
            [this](const std::filesystem::path& app) {
                signedApps.push_back(app);
                if (refusesSignature && refusesSignature(app)) {
                    throw BootstrapError::invalid("The game application's signature is not valid.");
                }
            },
            [this](const std::string& message, double fraction) { reports.push_back({message, fraction}); })
            .prepare();
    }

    // Installs and selects a release as an earlier run would have, then forgets that run's
    // requests, checks and reports.
    void installEarlier(const SampleRelease& release) {
        network.publish(release);
        prepare();
        network = {};
        signedApps.clear();
        reports.clear();
    }

    std::filesystem::path entrypoint(const std::string& release) const {
        return root / "releases" / release / BootstrapPolicy::entrypoint;
    }
};

} // namespace korvel::testing
