#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "policy/bootstrap_policy.h"
#include "tests/servers/child_process.h"
#include "tests/support/eventually.h"
#include "tests/support/outcome.h"
#include "tests/support/temp_dir.h"
#include "transport/bounded_download.h"
#include "transport/signature_check.h"

namespace korvel::test {
namespace {

namespace fs = std::filesystem;

const std::string unavailable = "The online beta download is unavailable or exceeds its approved size.";
const std::string exceeded = "The download exceeded its approved size. Installation was not changed.";
const std::string redirected = "The game download redirected to another address. Installation was not changed.";
const std::string notApproved = "The download address is not an approved HTTPS origin.";
const std::string notFresh = "Could not create a fresh download staging file.";

std::string fileUrl(const std::string& path) { return BootstrapPolicy::downloadBase + path; }

// The first size bytes of every body the scripted server sends: byte i is i % 251.
std::string servedBody(std::size_t size) {
    std::string body;
    for (std::size_t i = 0; i < size; ++i) {
        body += static_cast<char>(i % 251);
    }
    return body;
}

// Downloads from the scripted TLS server (servers/scripted_tls_server.py, whose comment lists what
// each path does) on a free port of 127.0.0.1, to which both approved hosts lead: the misbehaviour
// nginx will not produce. The server logs every connection and request before it answers.
class Download : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(eventually([&] { return fs::exists(scratch / "port") || server.exited(); }) && !server.exited());
        address = "127.0.0.1:" + readFile(scratch / "port");
        transport = loopbackTransportOptions(KORVEL_TEST_CERTIFICATES "/ca.pem", address);
    }

    // Fetches url into a fresh staging file, or resumably into one holding the first kept bytes
    // of the body, and answers the outcome.
    std::string fetch(const std::string& url, std::int64_t limit, TransportOptions options, int kept = -1) {
        fs::remove(staging);
        reports.clear();
        if (kept >= 0) {
            writeFile(staging, servedBody(static_cast<std::size_t>(kept)));
            options.resume = true;
        }
        const auto report = [this](std::int64_t received) { reports.push_back(received); };
        return outcomeOf([&] { BoundedDownload(staging, limit, report, options).fetch(url); }, scratch.path());
    }

    TempDir scratch;
    ChildProcess server{{"python3", KORVEL_SCRIPTED_SERVER, KORVEL_TEST_CERTIFICATES "/server.pem",
                         KORVEL_TEST_CERTIFICATES "/server.key", scratch / "log", scratch / "port"}};
    std::string address;
    TransportOptions transport;
    const fs::path staging = scratch / "staging";
    std::vector<std::int64_t> reports;
};

TEST_F(Download, StoresAtMostTheApprovedBodyAndRefusesAnyOtherAnswer) {
    const struct {
        std::string path;
        std::int64_t limit;
        std::string outcome;
        std::size_t stored;
        int kept = -1;  // resumable, into a file holding the first kept bytes; -1: a plain transfer
    } rows[] = {
        {"cookie", 100, "", 2},
        {"body/10", 1000, "", 10},
        {"body/1000", 1000, "", 1000},
        {"body/1001", 1000, unavailable, 0},
        {"body/0", 10, "", 0},
        {"body/20971520", 20971520, "", 20971520},
        {"body/100/300", 1000, "", 100},
        {"body/1000/400", 10000, "curl 18", 400},
        {"cut/500", 10000, "curl 18", 500},
        {"chunked/300/100", 1000, "", 300},
        {"chunked/300/100", 300, "", 300},
        {"chunked/300/100", 250, exceeded, 200},
        {"chunked/100/100", 10, exceeded, 0},
        {"moved/302", 1000, redirected, 0},
        {"moved/307", 1000, redirected, 0},
        {"moved/308", 1000, redirected, 0},
        {"status/304", 1000, unavailable, 0},
        {"status/404", 1000, unavailable, 0},
        {"status/206", 1000, unavailable, 0},
        // A resumed transfer takes exactly the rest, or a whole body from the start; any other
        // answer empties the file, so that the next attempt asks for the whole body.
        {"range/1000/", 1000, "", 1000, 400},
        {"range/1000/whole", 1000, "", 1000, 400},
        {"range/1000/shifted", 1000, unavailable, 0, 400},
        {"range/1000/longer", 1000, unavailable, 0, 400},
        {"range/1000/cut", 1000, "curl 18", 400, 400},
        {"range/1000/", 1000, "", 1000, 1000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path + " with a limit of " + std::to_string(row.limit));
        EXPECT_EQ(fetch(fileUrl(row.path), row.limit, transport, row.kept), row.outcome);
        EXPECT_EQ(fs::status(staging).permissions(), fs::perms(0600));
        EXPECT_TRUE(readFile(staging) == servedBody(row.stored)) << "stored " << fs::file_size(staging) << " bytes";
    }
    EXPECT_EQ(fetch(fileUrl("body/10"), 100, loopbackTransportOptions("", address)), "curl 60")
        << "a certificate the system does not trust was accepted";
    // Exactly its own headers, even after the server set a cookie; no redirect followed.
    const std::string log = readFile(scratch / "log");
    const std::string request = "GET /online-beta/body/10 HTTP/1.1\nAccept-Encoding: identity\nHost: " +
                                BootstrapPolicy::downloadHost + "\nUser-Agent: Korvel-Online-Launcher/1\n\n";
    EXPECT_NE(log.find(request), std::string::npos) << log;
    EXPECT_EQ(log.find("/online-beta/target"), std::string::npos) << "a redirect was followed";
    EXPECT_NE(log.find("GET /online-beta/range/1000/ HTTP/1.1\nAccept-Encoding: identity\nHost: " +
                       BootstrapPolicy::downloadHost + "\nRange: bytes=400-\n"),
              std::string::npos);
    EXPECT_EQ(fetch(fileUrl("range/1000/"), 1000, transport, 400), "");
    EXPECT_GT(reports.front(), 400) << "the progress of a resumed file started again from zero";
}

// Every host named here leads to the server, so a request that leaks out shows in its log.
TEST_F(Download, SendsNothingToAnAddressOutsideTheApprovedOrigins) {
    TransportOptions options = transport;
    const std::string host = BootstrapPolicy::downloadHost;
    options.connectTo.insert(
        {{"elsewhere.example", address}, {"cdn." + host, address}, {"DOWNLOADS.KORVEL.EXAMPLE", address}});
    const std::string file = "/online-beta/body/1";
    for (const std::string& url :
         {"http://" + host + file, "HTTPS://" + host + file, "https://" + host + ":8443" + file,
          "https://player@" + host + file, "https://player:secret@" + host + file, "https://" + host + file + "?x=1",
          "https://" + host + file + "#part", "https://" + host + file + "#", "https://elsewhere.example" + file,
          "https://cdn." + host + file, "https://DOWNLOADS.KORVEL.EXAMPLE" + file, "https://" + address + file,
          "https://" + file, host + file, std::string()}) {
        EXPECT_EQ(fetch(url, 100, options), notApproved) << url;
    }
    EXPECT_EQ(fetch("https://" + host + ":443" + file, 100, options), "");
    EXPECT_EQ(readFile(scratch / "log").rfind("connection"), 0u) << "a refused address reached the server";
}

// Progress comes at once with the first chunk, then at most every 100 ms, and once at the end with
// the total. 400 chunks arrive far faster than that, so a report per chunk shows.
TEST_F(Download, ReportsProgressSparinglyAndEndsWithTheTotal) {
    ASSERT_EQ(fetch(fileUrl("chunked/200000/500"), 200000, transport), "");
    ASSERT_GE(reports.size(), 2u);
    EXPECT_GT(reports.front(), 0);
    EXPECT_LT(reports.size(), 40u) << "progress reported for every chunk";
    EXPECT_EQ(reports.back(), 200000);
}

// Whatever is at the staging path already, a dangling link included, is refused and left alone.
TEST_F(Download, StagesOnlyIntoAFreshFile) {
    fs::create_symlink(scratch / "nowhere", staging);
    EXPECT_EQ(outcomeOf([&] { BoundedDownload(staging, 100, [](std::int64_t) {}); }), notFresh);
    EXPECT_FALSE(fs::exists(scratch / "nowhere")) << "the link was followed";
}

TEST(SignatureCheck, PassesOnlyATrueVerdictOfTheTool) {
    const TempDir scratch;
    const fs::path tool = scratch / "fake codesign";
    const fs::path bundle = scratch / "My Games/Korvel Online Beta.app";
    const std::string refused =
        "The downloaded Mac game failed its application signature check. Installation was not changed.";
    const struct {
        std::string script;
        fs::perms mode;
        std::string outcome;
    } rows[] = {
        {"printf '%s\\n' \"$#\" \"$@\" > \"$0.arguments\"", fs::perms(0755), ""},
        {"exit 1", fs::perms(0755), refused},
        {"kill -9 $$", fs::perms(0755), refused},
        {"exit 0", fs::perms(0644), "EACCES " + tool.string()},
    };
    for (const auto& row : rows) {
        writeFile(tool, "#!/bin/sh\n" + row.script + "\n");
        fs::permissions(tool, row.mode);
        EXPECT_EQ(outcomeOf([&] { verifyAppSignature(tool, bundle); }), row.outcome) << row.script;
    }
    EXPECT_EQ(readFile(tool.string() + ".arguments"), "4\n--verify\n--deep\n--strict\n" + bundle.string() + "\n");
    // A code requirement reaches the tool as one argument, blanks and quotes included, before the bundle.
    writeFile(tool, "#!/bin/sh\n" + rows[0].script + "\n");
    fs::permissions(tool, fs::perms(0755));
    const std::string requirement = "anchor apple generic and certificate leaf[subject.OU] = \"T3AM\"";
    EXPECT_EQ(outcomeOf([&] { verifyAppSignature(tool, bundle, requirement); }), "");
    EXPECT_EQ(readFile(tool.string() + ".arguments"),
              "5\n--verify\n--deep\n--strict\n-R=" + requirement + "\n" + bundle.string() + "\n");
    const fs::path missing = scratch / "missing";
    EXPECT_EQ(outcomeOf([&] { verifyAppSignature(missing, bundle); }), "ENOENT " + missing.string());
}

} // namespace
} // namespace korvel::test
