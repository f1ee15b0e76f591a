#pragma once

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "installer/online_installer.h"
#include "installer/posix_file.h"
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
    UniqueFd fd(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        throwSystemError(errno, "open", destination);
    }
    const std::string_view kept = body.substr(0, static_cast<std::size_t>(std::max<std::int64_t>(limit, 0)));
    const std::size_t half = kept.size() / 2;
    for (const std::string_view part : {kept.substr(0, half), kept.substr(half)}) {
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
// host, with the transport's own error type; an outage, when set, fails every request its own way.
class StubNetwork {
public:
    std::map<std::string, std::string> bodies;
    std::function<void(const std::filesystem::path& destination)> outage;

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
            if (outage) {
                outage(destination);
            }
            const auto body = bodies.find(url);
            if (body == bodies.end()) {
                throw TransportError(7, "Couldn't connect to server");
            }
            deliver(destination, body->second, limit, progress);
        };
    }

    std::vector<std::string> requests;
};

// Accepts every bundle unless refuses says otherwise; remembers what it was shown.
class StubSignatureCheck {
public:
    std::function<bool(const std::filesystem::path& app)> refuses;
    std::vector<std::filesystem::path> checked;

    SignatureCheck operation() {
        return [this](const std::filesystem::path& app) {
            checked.push_back(app);
            if (refuses && refuses(app)) {
                throw BootstrapError::invalid("The game application's signature is not valid.");
            }
        };
    }
};

struct StatusReport {
    std::string message;
    double fraction = 0.0;
    friend bool operator==(const StatusReport&, const StatusReport&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const StatusReport& report) {
    return out << '"' << report.message << "\" at " << report.fraction;
}

// Status may arrive from a download's own thread, so reports are taken under a lock.
class StatusLog {
public:
    StatusOperation operation() {
        return [this](const std::string& message, double fraction) {
            const std::lock_guard<std::mutex> hold(mutex);
            reports.push_back({message, fraction});
        };
    }

    std::vector<StatusReport> taken() {
        const std::lock_guard<std::mutex> hold(mutex);
        return std::exchange(reports, {});
    }

private:
    std::mutex mutex;
    std::vector<StatusReport> reports;
};

// Entries a finished run must never leave in the root: staging directories and staged
// manifests.
inline std::vector<std::string> stagingLeftovers(const std::filesystem::path& root) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".stage-") || name.starts_with(".manifest-")) {
            found.push_back(name);
        }
    }
    return found;
}

// An install root whose parents do not exist yet, and the stubs an installer for it uses.
// The stubs point back at this object, which therefore stays in place.
struct InstallRoot {
    InstallRoot() = default;
    InstallRoot(const InstallRoot&) = delete;
    InstallRoot& operator=(const InstallRoot&) = delete;

    TempDir temp;
    std::filesystem::path root = temp / "Application Support" / "Korvel" / "OnlineBetaClient";
    StubNetwork network;
    StubSignatureCheck signature;
    StatusLog status;

    PreparedClient prepare() {
        OnlineInstaller installer(root, network.operation(), signature.operation(), status.operation());
        return installer.prepare();
    }

    // Installs and selects a release as an earlier run would have, then forgets that run's
    // requests, checks and reports.
    void installEarlier(const SampleRelease& release) {
        network.publish(release);
        prepare();
        network = {};
        signature.checked.clear();
        status.taken();
    }

    std::filesystem::path entrypoint(const std::string& release) const {
        return root / "releases" / release / BootstrapPolicy::entrypoint;
    }
};

} // namespace korvel::testing
