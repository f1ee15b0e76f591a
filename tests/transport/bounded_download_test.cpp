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
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "base/scope_exit.h"
#include "policy/bootstrap_policy.h"
#include "tests/servers/nginx_server.h"
#include "tests/servers/scripted_server.h"
#include "tests/support/expect_error.h"
#include "tests/support/temp_dir.h"
#include "transport/transport_error.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using ::testing::Contains;
using ::testing::Not;
using ::testing::Pair;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

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

    // Fetches url into a fresh destination() and answers the message of what it threw ("" for none).
    std::string fetch(const std::string& url, std::int64_t limit, const TransportOptions& options) {
        fs::remove(destination());
        calls.clear();
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

TEST_F(BoundedDownloadTest, StoresTheWholeApprovedBodyOrRefusesWithTheMessageOfItsCheck) {
    const std::string otherApprovedHost = "https://" + hostOf(BootstrapPolicy::manifestURL) + "/online-beta/target";
    NginxServer nginx({.returns = {{"/online-beta/302", 302, fileUrl("target")},
                                   {"/online-beta/301", 301, otherApprovedHost},
                                   {"/online-beta/307", 307, fileUrl("target")},
                                   {"/online-beta/308", 308, "/online-beta/target"},
                                   {"/online-beta/500", 500, "broken"},
                                   {"/online-beta/206", 206, "partial"},
                                   {"/online-beta/304", 304, ""},
                                   {"/online-beta/204", 204, ""},
                                   {"/online-beta/201", 201, "created"}}});
    for (const std::size_t size : {10, 1000, 1001, 100000, 64 << 20}) {
        writeFile(nginx.docroot() / ("online-beta/file" + std::to_string(size)), scriptedBody(size));
    }
    ScriptedServer scripted;
    constexpr std::size_t atMostTheLimit = SIZE_MAX;
    const struct {
        const char* name;
        bool fromNginx;
        std::string url;
        std::int64_t limit;
        std::string message;
        std::size_t stored;
    } cases[] = {
        {"announced, below the limit", true, fileUrl("file10"), 1000, "", 10},
        {"announced, exactly the limit", true, fileUrl("file1000"), 1000, "", 1000},
        {"announced, one byte over the limit", true, fileUrl("file1001"), 1000, unavailable, 0},
        {"announced, far over the limit", true, fileUrl("file100000"), 10, unavailable, 0},
        {"a large file", true, fileUrl("file67108864"), 64 << 20, "", 64 << 20},
        {"an explicit standard port", true, "https://" + hostOf(fileUrl("")) + ":443/online-beta/file10", 1000, "", 10},
        {"more sent than announced", false, fileUrl("body/100/300"), 1000, "", 100},
        {"unannounced, below the limit", false, fileUrl("chunked/500"), 1000, "", 500},
        {"unannounced, exactly the limit", false, fileUrl("chunked/100000"), 100000, "", 100000},
        {"unannounced, one byte over the limit", false, fileUrl("chunked/100001"), 100000, exceeded, atMostTheLimit},
        {"unannounced, far over the limit", false, fileUrl("chunked/1048576"), 100000, exceeded, atMostTheLimit},
        {"redirect 302", true, fileUrl("302"), 1000, redirected, 0},
        {"redirect 301 to the other approved host", true, fileUrl("301"), 1000, redirected, 0},
        {"redirect 307", true, fileUrl("307"), 1000, redirected, 0},
        {"redirect 308 to a relative address", true, fileUrl("308"), 1000, redirected, 0},
        {"status 404", true, fileUrl("missing"), 1000, unavailable, 0},
        {"status 500", true, fileUrl("500"), 1000, unavailable, 0},
        {"status 206", true, fileUrl("206"), 1000, unavailable, 0},
        {"status 304", true, fileUrl("304"), 1000, unavailable, 0},
        {"status 204", true, fileUrl("204"), 1000, unavailable, 0},
        {"status 201", true, fileUrl("201"), 1000, unavailable, 0},
    };
    std::size_t requestsToNginx = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        requestsToNginx += c.fromNginx ? 1 : 0;
        const TransportOptions options = c.fromNginx ? nginx.transportOptions() : scripted.transportOptions();
        EXPECT_EQ(fetch(c.url, c.limit, options), c.message);
        const std::string stored = received();
        if (c.stored == atMostTheLimit) {
            EXPECT_LE(stored.size(), static_cast<std::size_t>(c.limit)) << "more than the limit reached the disk";
        } else {
            EXPECT_EQ(stored.size(), c.stored);
        }
        EXPECT_TRUE(stored == scriptedBody(stored.size())) << "the stored bytes differ from the served ones";
        if (c.message.empty()) {
            EXPECT_EQ(calls.empty() ? -1 : calls.back().received, static_cast<std::int64_t>(c.stored))
                << "the last progress call";
        }
    }
    // nginx logs requests in the order it serves them, so a followed redirect would show among them.
    EXPECT_THAT(nginx.waitForRequests(requestsToNginx), Not(Contains("/online-beta/target")));
}

TEST_F(BoundedDownloadTest, EmptyBodyReportsZeroOnce) {
    NginxServer server;
    writeFile(server.docroot() / "online-beta/empty", "");
    ASSERT_EQ(fetch(fileUrl("empty"), 100, server.transportOptions()), "");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].received, 0);
}

TEST_F(BoundedDownloadTest, UntrustedCertificateIsATransportError) {
    NginxServer server;
    writeFile(server.docroot() / "online-beta/file", "content");
    TransportOptions options = server.transportOptions();
    options.caFile.clear();
    BoundedDownload download(destination(), 100, recorder(), options);
    const auto error = thrownBy<TransportError>([&] { download.fetch(fileUrl("file")); });
    ASSERT_TRUE(error) << "a certificate from an unknown CA was accepted";
    EXPECT_EQ(error->code(), CURLE_PEER_FAILED_VERIFICATION) << error->what();
    // libcurl's text for the code, then its detail of this transfer.
    const std::string text = std::string(curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION)) + ": ";
    EXPECT_THAT(error->what(), StartsWith(text));
    EXPECT_GT(std::string(error->what()).size(), text.size()) << "no detail";
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(BoundedDownloadTest, UnapprovedOriginsSendNothing) {
    ScriptedServer server;
    const std::string host = hostOf(BootstrapPolicy::downloadBase);
    std::string upperCase = host;
    std::transform(upperCase.begin(), upperCase.end(), upperCase.begin(), [](unsigned char c) { return std::toupper(c); });
    // Every host named here leads to the server, so a request that leaks out shows in its log.
    const TransportOptions options = server.transportOptions({"elsewhere.example", "cdn." + host, upperCase});
    const std::string file = "/online-beta/file";
    const std::vector<std::string> urls = {
        "http://" + host + file, "HTTPS://" + host + file, "ftp://" + host + file, "https://" + host + ":8443" + file,
        "https://" + host + ":80" + file, "https://player@" + host + file, "https://player:secret@" + host + file,
        "https://@" + host + file, "https://" + host + file + "?x=1", "https://" + host + file + "?",
        "https://" + host + file + "#part", "https://" + host + file + "#", "https://elsewhere.example" + file,
        "https://cdn." + host + file, "https://" + upperCase + file,
        "https://127.0.0.1:" + std::to_string(server.port()) + "/body/1", "https://" + file, host + file, "",
    };
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        EXPECT_EQ(fetch(url, 100, options), notApproved);
        EXPECT_EQ(received(), "");
    }
    ASSERT_EQ(fetch(fileUrl("body/1"), 100, options), "");
    EXPECT_EQ(server.connections(), 1u) << "a refused address reached the server";
}

TEST_F(BoundedDownloadTest, ExistingDestinationIsRefusedUntouched) {
    const struct {
        const char* name;
        void (*make)(const fs::path&);
    } cases[] = {
        {"file with content", [](const fs::path& p) { writeFile(p, "earlier bytes"); }},
        {"empty file", [](const fs::path& p) { writeFile(p, ""); }},
        {"directory", [](const fs::path& p) { fs::create_directory(p); }},
        {"dangling symbolic link", [](const fs::path& p) { fs::create_symlink(p.parent_path() / "nowhere", p); }},
    };
    for (const auto& c : cases) {
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

TEST_F(BoundedDownloadTest, BrokenTransfersAreTransportErrorsThatKeepThePartialFile) {
    ScriptedServer server;
    const struct {
        const char* path;
        std::size_t bytesSent;
    } cases[] = {
        {"body/1000/400", 400},   // announces more than it sends
        {"cut/500", 500},          // chunked, closed before the last chunk
        {"cut/300/500", 300},      // goes silent first, then closes
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        fs::remove(destination());
        BoundedDownload download(destination(), 10000, recorder(), server.transportOptions());
        const auto error = thrownBy<TransportError>([&] { download.fetch(fileUrl(c.path)); });
        EXPECT_EQ(error ? error->code() : CURLE_OK, CURLE_PARTIAL_FILE) << (error ? error->what() : "succeeded");
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
    EXPECT_TRUE(throwsSystemError([&] { download.fetch(fileUrl("chunked/50000")); }, EFBIG, destination()));
    EXPECT_EQ(fs::file_size(destination()), 1000u);
}

TEST_F(BoundedDownloadTest, SendsExactlyTheTwoHeadersAndNeverACookie) {
    ScriptedServer server;
    ASSERT_EQ(fetch(fileUrl("cookie"), 100, server.transportOptions()), "");  // answers with Set-Cookie
    ASSERT_EQ(fetch(fileUrl("body/10"), 100, server.transportOptions()), "");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].target, "/online-beta/body/10");
    EXPECT_THAT(requests[1].headers, UnorderedElementsAre(Pair("Host", hostOf(BootstrapPolicy::downloadBase)),
                                                          Pair("Accept-Encoding", "identity"),
                                                          Pair("User-Agent", "Korvel-Online-Launcher/1")));
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
