#include "tests/support/sample_release.h"

#include <fcntl.h>

#include "base/posix_io.h"
#include "base/sha256.h"
#include "base/unique_fd.h"
#include "policy/bootstrap_policy.h"
#include "tests/support/temp_dir.h"
#include "transport/transport_error.h"

namespace korvel::test {

namespace fs = std::filesystem;

SampleRelease sampleRelease(const std::string& name, std::size_t packBytes) {
    SampleRelease release{name, {}};
    for (const std::string& path : BootstrapPolicy::paths) {
        release.contents[path] = "release " + name + " file " + path + "\n";
    }
    release.contents[BootstrapPolicy::app + "/Contents/Resources/Korvel_Online.pck"] = std::string(packBytes, 'p');
    return release;
}

std::vector<ReleaseFile> SampleRelease::files() const {
    std::vector<ReleaseFile> files;
    for (const auto& [path, bytes] : contents) {
        files.push_back({path, BootstrapPolicy::downloadBase + name + "/mac/" + path,
                         static_cast<std::int64_t>(bytes.size()), sha256Hex(bytes),
                         BootstrapPolicy::executables.contains(path)});
    }
    return files;
}

ReleaseManifest SampleRelease::manifest() const {
    return {1, name, {{"mac", ReleasePlatform{BootstrapPolicy::entrypoint, files()}}}};
}

void SampleRelease::writeBundle(const fs::path& dir) const {
    for (const auto& [path, bytes] : contents) {
        writeFile(dir / path, bytes);
        fs::permissions(dir / path, fs::perms(BootstrapPolicy::executables.contains(path) ? 0755 : 0644));
    }
}

std::map<std::string, std::string> SampleRelease::served() const {
    std::map<std::string, std::string> network{{BootstrapPolicy::manifestURL, encodeJson(manifest())}};
    for (const ReleaseFile& file : files()) {
        network[file.url] = contents.at(file.path);
    }
    return network;
}

void deliver(const std::map<std::string, std::string>& network, const std::string& url, const fs::path& destination,
             const Progress& progress) {
    const auto body = network.find(url);
    if (body == network.end()) {
        throw TransportError(7, "Couldn't connect to server");
    }
    UniqueFd fd = openFile(destination, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    writeAll(fd.get(), body->second, destination);
    progress(static_cast<std::int64_t>(body->second.size()));
    closeChecked(std::move(fd), destination);
}

} // namespace korvel::test
