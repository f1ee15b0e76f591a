#include "transport/bounded_download.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "installer/scope_exit.h"
#include "policy/bootstrap_policy.h"
#include "tests/servers/nginx_server.h"
#include "tests/servers/scripted_server.h"
#include "tests/support/expect_error.h"
#include "tests/support/temp_dir.h"
#include "transport/transport_error.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using testing::NginxServer;
using testing::ScriptedServer;
using testing::TempDir;
using testing::readFile;
using testing::scriptedBody;
using testing::throwsBootstrapError;
using testing::writeFile;

const std::string unavailable = "The online beta download is unavailable or exceeds its approved size.";
const std::string exceeded = "The download exceeded its approved size. Installation was not changed.";
const std::string redirected = "The game download redirected to another address. Installation was not changed.";
const std::string notApproved = "The download address is not an approved HTTPS origin.";
const std::string notFresh = "Could not create a fresh download staging file.";

// Release files come from the download host, the manifest from the web host. (Functions, not
// constants: the policy's strings are only ready once static initialisation is over.)
std::string fileUrl(const std::string& path) { return BootstrapPolicy::downloadBase + path; }
std::string hostOf(const std::string& url) { return url.substr(8, url.find('/', 8) - 8); }

struct ProgressCall {
    std::int64_t received;
    std::chrono::steady_clock::time_point at;
};

class BoundedDownloadTest : public ::testing::Test {
protected:
    fs::path destination() const { return scratch / "staging"; }

    // Fetches url into destination() and answers the message of what it threw ("" for none).
    std::string fetch(const std::string& url, std::int64_t limit, const TransportOptions& options) {
        BoundedDownload download(destination(), limit, recorder(), options);
        try {
            download.fetch(url);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }

    Progress recorder() {
        return [this](std::int64_t received) { calls.push_back({received, std::chrono::steady_clock::now()}); };
    }

    std::string received() const { return readFile(destination()); }

    TempDir scratch;
    std::vector<ProgressCall> calls;
};

// --- Serving by nginx ---------------------------------------------------------------------

struct ServingCase {
    const char* name;
    std::size_t fileBytes;
    std::int64_t limit;
    std::string message;
    std::size_t bytesOnDisk;
};

TEST_F(BoundedDownloadTest, AnnouncedLengthIsJudgedAgainstTheLimit) {
    NginxServer server;
    const std::vector<ServingCase> cases = {
        {"well below the limit", 10, 1000, "", 10},
        {"exactly the limit", 1000, 1000, "", 1000},
        {"one byte over the limit", 1001, 1000, unavailable, 0},
        {"far over the limit", 100000, 10, unavailable, 0},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const ServingCase& c = cases[i];
        SCOPED_TRACE(c.name);
        fs::remove(destination());
        const std::string content = scriptedBody(c.fileBytes);
        const std::string path = "online-beta/file" + std::to_string(i);
        writeFile(server.docroot() / path, content);
        EXPECT_EQ(fetch(fileUrl("file" + std::to_string(i)), c.limit, server.transportOptions()), c.message);
        EXPECT_TRUE(received() == content.substr(0, c.bytesOnDisk))
            << "staging file holds " << received().size() << " bytes, expected " << c.bytesOnDisk;
    }
}

TEST_F(BoundedDownloadTest, EveryStatusButOkIsUnavailable) {
    NginxServer server({{"/online-beta/500", 500, "broken"},
                        {"/online-beta/206", 206, "partial"},
                        {"/online-beta/304", 304, ""},
                        {"/online-beta/204", 204, ""},
                        {"/online-beta/201", 201, "created"}});
    for (const char* path : {"missing", "500", "206", "304", "204", "201"}) {
        SCOPED_TRACE(path);
        fs::remove(destination());
        EXPECT_EQ(fetch(fileUrl(path), 1000, server.transportOptions()), unavailable);
        EXPECT_EQ(fs::file_size(destination()), 0u) << "an error page reached the staging file";
    }
}

TEST_F(BoundedDownloadTest, RedirectIsRefusedAndNeverFollowed) {
    const std::string sameHost = fileUrl("target");
    const std::string otherApprovedHost = "https://" + hostOf(BootstrapPolicy::manifestURL) + "/online-beta/target";
    NginxServer server({{"/online-beta/302", 302, sameHost},
                        {"/online-beta/301", 301, otherApprovedHost},
                        {"/online-beta/307", 307, sameHost},
                        {"/online-beta/308", 308, "/online-beta/target"}});
    writeFile(server.docroot() / "online-beta/target", "the redirect target");
    writeFile(server.docroot() / "online-beta/sentinel", "s");
    std::size_t logged = 0;
    for (const char* status : {"302", "301", "307", "308"}) {
        SCOPED_TRACE(status);
        fs::remove(destination());
        EXPECT_EQ(fetch(fileUrl(status), 1000, server.transportOptions()), redirected);
        EXPECT_EQ(received(), "");
        // Requests are served in order, so once the sentinel is logged a followed redirect
        // would be logged too.
        fs::remove(destination());
        ASSERT_EQ(fetch(fileUrl("sentinel"), 10, server.transportOptions()), "");
        logged += 2;
        const auto log = server.waitForAccessLog(logged);
        ASSERT_EQ(log.size(), logged);
        EXPECT_EQ(log[logged - 2].target, "/online-beta/" + std::string(status));
        EXPECT_EQ(log[logged - 1].target, "/online-beta/sentinel") << "the redirect target was requested";
    }
}

TEST_F(BoundedDownloadTest, ExplicitStandardPortIsAccepted) {
    NginxServer server;
    const std::string downloadHost = hostOf(BootstrapPolicy::downloadBase);
    writeFile(server.docroot() / "online-beta/file", "content");
    const std::string url = "https://" + downloadHost + ":443/online-beta/file";
    EXPECT_EQ(fetch(url, 100, server.transportOptions()), "");
    EXPECT_EQ(received(), "content");
    EXPECT_EQ(server.waitForAccessLog(1).at(0).host, downloadHost);
}

TEST_F(BoundedDownloadTest, EmptyBodyReportsZeroOnce) {
    NginxServer server;
    writeFile(server.docroot() / "online-beta/empty", "");
    ASSERT_EQ(fetch(fileUrl("empty"), 100, server.transportOptions()), "");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].received, 0);
}

TEST_F(BoundedDownloadTest, LargeFileArrivesIntact) {
    NginxServer server;
    const std::string content = scriptedBody(64u << 20);
    writeFile(server.docroot() / "online-beta/large", content);
    ASSERT_EQ(fetch(fileUrl("large"), static_cast<std::int64_t>(content.size()), server.transportOptions()), "");
    EXPECT_TRUE(received() == content) << "the 64 MiB body differs from the served file";
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().received, static_cast<std::int64_t>(content.size()));
}

TEST_F(BoundedDownloadTest, UntrustedCertificateIsATransportError) {
    NginxServer server;
    writeFile(server.docroot() / "online-beta/file", "content");
    TransportOptions options = server.transportOptions();
    options.caFile.clear();
    BoundedDownload download(destination(), 100, recorder(), options);
    try {
        download.fetch(fileUrl("file"));
        FAIL() << "a certificate from an unknown CA was accepted";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.code(), CURLE_PEER_FAILED_VERIFICATION) << error.what();
        // libcurl's text for the code, then its detail of this transfer.
        const std::string text = std::string(curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION)) + ": ";
        EXPECT_TRUE(std::string(error.what()).starts_with(text)) << error.what();
        EXPECT_GT(std::string(error.what()).size(), text.size()) << "no detail";
    }
    EXPECT_TRUE(server.accessLog().empty());
}

// --- Origin check ------------------------------------------------------------------------

TEST_F(BoundedDownloadTest, UnapprovedOriginsSendNothing) {
    ScriptedServer server;
    const std::string downloadHost = hostOf(BootstrapPolicy::downloadBase);
    const std::string other = "elsewhere.example";
    const std::string subdomain = "cdn." + downloadHost;
    std::string upperCase = downloadHost;
    std::transform(upperCase.begin(), upperCase.end(), upperCase.begin(), [](unsigned char c) { return std::toupper(c); });
    const TransportOptions options = server.transportOptions({other, subdomain, upperCase});
    const std::vector<std::string> urls = {
        "http://" + downloadHost + "/online-beta/file",
        "HTTPS://" + downloadHost + "/online-beta/file",
        "ftp://" + downloadHost + "/online-beta/file",
        "https://" + downloadHost + ":8443/online-beta/file",
        "https://" + downloadHost + ":80/online-beta/file",
        "https://player@" + downloadHost + "/online-beta/file",
        "https://player:secret@" + downloadHost + "/online-beta/file",
        "https://@" + downloadHost + "/online-beta/file",
        "https://" + downloadHost + "/online-beta/file?x=1",
        "https://" + downloadHost + "/online-beta/file?",
        "https://" + downloadHost + "/online-beta/file#part",
        "https://" + downloadHost + "/online-beta/file#",
        "https://" + other + "/online-beta/file",
        "https://" + subdomain + "/online-beta/file",
        "https://" + upperCase + "/online-beta/file",
        "https://127.0.0.1:" + std::to_string(server.port()) + "/body/1",
        "https:///online-beta/file",
        downloadHost + "/online-beta/file",
        "",
    };
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        fs::remove(destination());
        EXPECT_EQ(fetch(url, 100, options), notApproved);
        EXPECT_EQ(received(), "");
    }
    fs::remove(destination());
    ASSERT_EQ(fetch(fileUrl("body/1"), 100, options), "");
    EXPECT_EQ(server.connections(), 1u) << "a refused address reached the server";
}

// --- Staging file ------------------------------------------------------------------------

TEST_F(BoundedDownloadTest, ExistingDestinationIsRefusedUntouched) {
    struct Case {
        const char* name;
        void (*make)(const fs::path&);
    };
    const std::vector<Case> cases = {
        {"file with content", [](const fs::path& p) { writeFile(p, "earlier bytes"); }},
        {"empty file", [](const fs::path& p) { writeFile(p, ""); }},
        {"directory", [](const fs::path& p) { fs::create_directory(p); }},
        {"dangling symbolic link", [](const fs::path& p) { fs::create_symlink(p.parent_path() / "nowhere", p); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = scratch / c.name;
        c.make(path);
        const auto before = fs::symlink_status(path);
        const std::string content = fs::is_regular_file(before) ? readFile(path) : "";
        EXPECT_TRUE(throwsBootstrapError([&] { BoundedDownload(path, 100, recorder()); }, notFresh));
        EXPECT_EQ(fs::symlink_status(path).type(), before.type());
        EXPECT_FALSE(fs::exists(scratch / "nowhere")) << "the link was followed";
        if (fs::is_regular_file(before)) {
            EXPECT_EQ(readFile(path), content);
        }
    }
}

TEST_F(BoundedDownloadTest, StagingFileIsPrivate) {
    BoundedDownload download(destination(), 100, recorder());
    struct stat info {};
    ASSERT_EQ(::lstat(destination().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_size, 0);
}

// --- Misbehaving servers -----------------------------------------------------------------

TEST_F(BoundedDownloadTest, UnannouncedLengthIsBoundedByTheRunningCount) {
    ScriptedServer server;
    const std::vector<ServingCase> cases = {
        {"chunked below the limit", 500, 1000, "", 500},
        {"chunked exactly the limit", 100000, 100000, "", 100000},
        {"chunked one byte over the limit", 100001, 100000, exceeded, 0},
        {"chunked far over the limit", 1 << 20, 100000, exceeded, 0},
    };
    for (const ServingCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(destination());
        EXPECT_EQ(fetch(fileUrl("chunked/" + std::to_string(c.fileBytes)), c.limit, server.transportOptions()),
                  c.message);
        const std::string stored = received();
        if (c.message.empty()) {
            EXPECT_TRUE(stored == scriptedBody(c.fileBytes)) << "body differs";
        } else {
            EXPECT_LE(stored.size(), static_cast<std::size_t>(c.limit)) << "more than the limit reached the disk";
            EXPECT_TRUE(stored == scriptedBody(stored.size())) << "the stored prefix differs";
        }
    }
}

TEST_F(BoundedDownloadTest, BrokenTransfersAreTransportErrorsThatKeepThePartialFile) {
    ScriptedServer server;
    struct Case {
        const char* path;
        std::size_t bytesSent;
    };
    const std::vector<Case> cases = {
        {"lying/1000/400", 400},   // announces more than it sends
        {"cut/500", 500},          // chunked, closed before the last chunk
        {"cut/300/500", 300},      // goes silent first, then closes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        fs::remove(destination());
        BoundedDownload download(destination(), 10000, recorder(), server.transportOptions());
        try {
            download.fetch(fileUrl(c.path));
            ADD_FAILURE() << "a broken transfer succeeded";
        } catch (const TransportError& error) {
            EXPECT_EQ(error.code(), CURLE_PARTIAL_FILE) << error.what();
        }
        EXPECT_TRUE(received() == scriptedBody(c.bytesSent)) << "partial file holds " << received().size();
    }
}

TEST_F(BoundedDownloadTest, WriteFailureIsThePlatformError) {
    ScriptedServer server;
    // The file-size limit makes the kernel refuse writes past 1000 bytes with EFBIG.
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    const ScopeExit restore([&] {
        ::setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, previousHandler);
    });
    BoundedDownload download(destination(), 100000, recorder(), server.transportOptions());
    rlimit small = original;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_TRUE(testing::throwsSystemError([&] { download.fetch(fileUrl("chunked/50000")); }, EFBIG, destination()));
    EXPECT_EQ(fs::file_size(destination()), 1000u);
}

TEST_F(BoundedDownloadTest, BodyBeyondAnnouncedLengthIsNotStored) {
    ScriptedServer server;
    ASSERT_EQ(fetch(fileUrl("lying/100/300"), 1000, server.transportOptions()), "");
    EXPECT_TRUE(received() == scriptedBody(100)) << "stored " << received().size() << " bytes";
    EXPECT_EQ(calls.back().received, 100);
}

TEST_F(BoundedDownloadTest, SendsExactlyTheTwoHeaders) {
    ScriptedServer server;
    ASSERT_EQ(fetch(fileUrl("body/10"), 100, server.transportOptions()), "");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/online-beta/body/10");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Host", hostOf(BootstrapPolicy::downloadBase)},
        {"Accept-Encoding", "identity"},
        {"User-Agent", "Korvel-Online-Launcher/1"},
    };
    auto sent = requests[0].headers;
    std::sort(sent.begin(), sent.end());
    auto wanted = expected;
    std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(sent, wanted);
}

TEST_F(BoundedDownloadTest, CookiesAreNeverSentBack) {
    ScriptedServer server;
    ASSERT_EQ(fetch(fileUrl("cookie"), 100, server.transportOptions()), "");
    fs::remove(destination());
    ASSERT_EQ(fetch(fileUrl("body/1"), 100, server.transportOptions()), "");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[1].header("Cookie")) << "sent: " << *requests[1].header("Cookie");
}

TEST_F(BoundedDownloadTest, ProgressIsThrottledDuringTheTransferAndEndsWithTheTotal) {
    ScriptedServer server;
    constexpr int chunks = 20;
    constexpr int chunkBytes = 100;
    ASSERT_EQ(fetch(fileUrl("trickle/20/100/50"), 10000, server.transportOptions()), "");
    constexpr std::int64_t total = chunks * chunkBytes;
    // The trickle lasts about a second, so the transfer reports more than once before the end.
    ASSERT_GE(calls.size(), 3u);
    EXPECT_GT(calls.front().received, 0);
    EXPECT_LT(calls.front().received, total) << "the first chunk did not report";
    EXPECT_EQ(calls.back().received, total);
    // The callback reads its clock a moment after the download read its own; the slack covers
    // that gap on a loaded machine, not a missed throttle.
    constexpr auto slack = std::chrono::milliseconds(5);
    for (std::size_t i = 1; i + 1 < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(calls[i].at - calls[i - 1].at, std::chrono::milliseconds(100) - slack);
        EXPECT_GE(calls[i].received, calls[i - 1].received);
    }
}

} // namespace
} // namespace korvel
