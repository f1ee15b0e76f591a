// The installer hashes each release file while the download writes it. Whatever the download
// does on the way, the verdict must be that of the file as it is when the download returns.

#include <cerrno>
#include <functional>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/installer/stub_operations.h"
#include "tests/support/expect_error.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

using Writer = std::function<void(const fs::path& destination, const std::string& body, const Progress& progress)>;

UniqueFd createFresh(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) {
        throwSystemError(errno, "open", path);
    }
    return fd;
}

void writeAt(int fd, std::string_view bytes, std::size_t offset, const fs::path& path) {
    if (::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) != static_cast<ssize_t>(bytes.size())) {
        throwSystemError(errno, "pwrite", path);
    }
}

std::string flipped(std::string bytes) {
    bytes[bytes.size() / 2] ^= 1;
    return bytes;
}

// The body in four pieces, front to back, each reported.
void inQuarters(const fs::path& destination, const std::string& body, const Progress& progress) {
    const UniqueFd fd = createFresh(destination);
    const std::size_t quarter = body.size() / 4 + 1;
    for (std::size_t offset = 0; offset < body.size(); offset += quarter) {
        const std::string_view piece = std::string_view(body).substr(offset, quarter);
        writeAt(fd.get(), piece, offset, destination);
        progress(static_cast<std::int64_t>(offset + piece.size()));
    }
}

TEST(StreamingInstallation, DecidesOnTheFileAsTheDownloadLeftIt) {
    const std::string refused = "A game download failed its size or SHA-256 check. The previous version is unchanged.";
    const struct {
        const char* name;
        Writer write;
        std::string message;  // "" when the release installs
    } cases[] = {
        {"front to back", inQuarters, ""},
        {"without a report", [](auto& path, auto& body, auto&) { inQuarters(path, body, [](std::int64_t) {}); }, ""},
        {"back to front",
         [](const fs::path& path, const std::string& body, const Progress& progress) {
             const UniqueFd fd = createFresh(path);
             const std::size_t half = body.size() / 2;
             writeAt(fd.get(), std::string_view(body).substr(half), half, path);
             progress(static_cast<std::int64_t>(body.size() - half));
             writeAt(fd.get(), std::string_view(body).substr(0, half), 0, path);
             progress(static_cast<std::int64_t>(body.size()));
         },
         ""},
        {"a wrong byte mended before the end",
         [](const fs::path& path, const std::string& body, const Progress& progress) {
             inQuarters(path, flipped(body), progress);
             const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
             writeAt(fd.get(), std::string_view(body).substr(body.size() / 2, 1), body.size() / 2, path);
         },
         ""},
        {"cut and written again",
         [](const fs::path& path, const std::string& body, const Progress& progress) {
             inQuarters(path, flipped(body) + "tail", progress);
             const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
             writeAt(fd.get(), body, 0, path);
             progress(static_cast<std::int64_t>(body.size()));
         },
         ""},
        {"replaced by a rename",
         [](const fs::path& path, const std::string& body, const Progress& progress) {
             inQuarters(path, flipped(body), progress);
             const fs::path replacement = path.string() + ".new";
             writeAt(createFresh(replacement).get(), body, 0, replacement);
             fs::rename(replacement, path);
         },
         ""},
        {"one byte changed", [](auto& path, auto& body, auto& progress) { inQuarters(path, flipped(body), progress); },
         refused},
        {"a right file replaced by a wrong one",
         [](const fs::path& path, const std::string& body, const Progress& progress) {
             inQuarters(path, body, progress);
             const fs::path replacement = path.string() + ".new";
             writeAt(createFresh(replacement).get(), flipped(body), 0, replacement);
             fs::rename(replacement, path);
         },
         refused},
    };
    // Several MiB, so that the installer reads the pack in several chunks while it arrives.
    const SampleRelease release = makeSampleRelease("r1", 5 << 20);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallRoot r;
        r.network.publish(release);
        const DownloadOperation served = r.network.operation();
        const auto download = [&](const std::string& url, const fs::path& destination, std::int64_t limit,
                                  const Progress& progress) {
            if (url == BootstrapPolicy::manifestURL) {
                served(url, destination, limit, progress);
            } else {
                c.write(destination, r.network.bodies.at(url), progress);
            }
        };
        OnlineInstaller installer(r.root, download, r.signature.operation(), r.status.operation());
        const auto prepare = [&] { installer.prepare(); };
        EXPECT_TRUE(throwsBootstrapError(prepare, c.message));
        if (c.message.empty()) {
            EXPECT_EQ(readFile(r.entrypoint("r1").parent_path().parent_path() / "Resources/Korvel_Online.pck"),
                      release.contents.at(BootstrapPolicy::app + "/Contents/Resources/Korvel_Online.pck"));
        } else {
            EXPECT_FALSE(fs::exists(r.root / "releases/r1")) << "the refused release was installed";
        }
        EXPECT_EQ(stagingLeftovers(r.root), std::vector<std::string>{});
    }
}

} // namespace
} // namespace korvel::testing
