#include "transport/bounded_download.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/posix_io.h"
#include "base/system_error.h"
#include "base/unique_fd.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"
#include "transport/transport_error.h"

namespace korvel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* stagingMessage = "Could not create a fresh download staging file.";
constexpr const char* originMessage = "The download address is not an approved HTTPS origin.";
constexpr const char* unavailableMessage = "The online beta download is unavailable or exceeds its approved size.";
constexpr const char* exceededMessage = "The download exceeded its approved size. Installation was not changed.";
constexpr const char* redirectMessage =
    "The game download redirected to another address. Installation was not changed.";

// "60 s without data" is both the connect limit and the stall limit (below 1 byte/s for 60 s);
// 1800 s bounds the whole transfer, unless it is resumable and bounded by its progress.
constexpr long idleSeconds = 60;
constexpr long totalSeconds = 1800;
constexpr auto progressInterval = std::chrono::milliseconds(100);

// Large enough that a fast transfer is not dominated by per-chunk overhead, small enough that
// one chunk is all the body memory a transfer ever holds.
constexpr long receiveBufferBytes = 256 * 1024;

// Written data is handed to the disk in steps of this size while the body still arrives, so
// the flush at completion waits for the last step only, not for the whole file, and a large
// download never piles up as unwritten memory.
constexpr std::int64_t writebackStep = 8 << 20;

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT); result != CURLE_OK) {
            throw TransportError(result, curl_easy_strerror(result));
        }
    });
}

template <class Value>
void setOption(CURL* curl, CURLoption option, Value value) {
    if (const CURLcode result = curl_easy_setopt(curl, option, value); result != CURLE_OK) {
        throw TransportError(result, curl_easy_strerror(result));
    }
}

void append(CurlList& list, const std::string& entry) {
    curl_slist* extended = curl_slist_append(list.get(), entry.c_str());
    if (extended == nullptr) {
        throw std::bad_alloc();
    }
    static_cast<void>(list.release());
    list.reset(extended);
}

CurlUrl parseUrl(const std::string& url) {
    CurlUrl parsed(curl_url());
    if (!parsed) {
        throw std::bad_alloc();
    }
    // Any scheme parses, so that a foreign one is refused by the scheme check like any other.
    if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return nullptr;
    }
    return parsed;
}

std::optional<std::string> urlPart(CURLU* url, CURLUPart part) {
    char* value = nullptr;
    const CURLUcode result = curl_url_get(url, part, &value, 0);
    if (result == CURLUE_OUT_OF_MEMORY) {
        throw std::bad_alloc();
    }
    if (result != CURLUE_OK) {
        return std::nullopt;
    }
    std::string text(value);
    curl_free(value);
    return text;
}

// Parses url and answers it only when it names an approved origin; the checks run in the
// fixed order scheme, port, user and password, query and fragment, host. The parsed handle
// is what the transfer then fetches, so the address checked is the address used.
CurlUrl approvedOrigin(const std::string& url) {
    const auto refuse = [] { return BootstrapError::invalid(originMessage); };
    CurlUrl parsed = parseUrl(url);
    if (!parsed) {
        throw refuse();
    }
    // libcurl reports the scheme in lower case; the address as given must already be.
    if (!url.starts_with("https:") || urlPart(parsed.get(), CURLUPART_SCHEME) != "https") {
        throw refuse();
    }
    if (const auto port = urlPart(parsed.get(), CURLUPART_PORT); port && *port != "443") {
        throw refuse();
    }
    // libcurl drops an empty fragment ("...#"); the text still holds it.
    for (const CURLUPart part : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS, CURLUPART_QUERY,
                                 CURLUPART_FRAGMENT}) {
        if (urlPart(parsed.get(), part)) {
            throw refuse();
        }
    }
    if (url.find('#') != std::string::npos) {
        throw refuse();
    }
    const auto host = urlPart(parsed.get(), CURLUPART_HOST);
    if (!host || (*host != BootstrapPolicy::webHost && *host != BootstrapPolicy::downloadHost)) {
        throw refuse();
    }
    return parsed;
}

std::exception_ptr systemFailure(int error, const char* operation, const std::filesystem::path& path) {
    try {
        throwSystemError(error, operation, path);
    } catch (...) {
        return std::current_exception();
    }
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && ::strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

} // namespace

// The state of one transfer. libcurl runs every callback on the thread inside
// curl_easy_perform, one at a time, so none of this needs a lock; fetch() reads `failure`
// and `received` only after curl_easy_perform has returned.
struct BoundedDownload::Transfer {
    std::filesystem::path destination;
    std::int64_t limit;
    Progress progress;
    TransportOptions options;
    UniqueFd handle;
    std::exception_ptr failure;
    std::int64_t received = 0;
    std::int64_t writebackStart = 0;  // the first byte not yet handed to the disk
    std::optional<Clock::time_point> lastProgress;  // none yet: the first chunk always reports
    bool fetched = false;
    CURL* curl = nullptr;
    std::int64_t resumedFrom = 0;  // bytes the destination held before this attempt
    bool sawLocation = false;  // within the current header block
    std::string contentRange;  // of the current header block
    bool responded = false;    // the final response has been judged; later header lines are trailers
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};

    // The response and redirection rules override whatever was recorded before them; the data
    // and completion rules never hide an earlier failure.
    void replaceFailure(std::exception_ptr error) { failure = std::move(error); }
    void recordFailure(std::exception_ptr error) {
        if (!failure) {
            failure = std::move(error);
        }
    }

    bool onHeaderLine(std::string_view line);
    std::int64_t announcedLength() const;
    bool acceptWhole(long status);
    bool acceptRange(long status);
    void restartFromZero();
    void openToResume();
    bool onChunk(const char* data, std::size_t size);
    void startWriteback();
    void complete(CURLcode result);
    std::string describe(CURLcode result) const;
    void configure(CURL* easy, CURLU* url, curl_slist* headers, curl_slist* connectTo);

    static std::size_t headerCallback(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t writeCallback(char* data, std::size_t size, std::size_t count, void* self);
};

// Judges each complete header block. Informational (1xx) blocks only precede the real
// response. A 3xx carrying a Location is a redirection: it is refused with the redirect
// message, and the redirect response is not handed on to the response rule, so that message
// is the one fetch() throws. Any other final response must be a 200 whose announced length
// (when there is one) fits the limit. Refusing cancels the transfer before any body byte.
bool BoundedDownload::Transfer::onHeaderLine(std::string_view line) {
    if (responded) {
        return true;
    }
    if (startsWithIgnoringCase(line, "location:")) {
        sawLocation = true;
    }
    constexpr std::string_view contentRangeName = "content-range:";
    if (startsWithIgnoringCase(line, contentRangeName)) {
        contentRange = line.substr(contentRangeName.size());
    }
    if (line != "\r\n" && line != "\n") {
        return true;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200) {
        sawLocation = false;
        contentRange.clear();
        return true;
    }
    responded = true;
    if (status >= 300 && status < 400 && sawLocation) {
        replaceFailure(std::make_exception_ptr(BootstrapError::invalid(redirectMessage)));
        return false;
    }
    return resumedFrom > 0 ? acceptRange(status) : acceptWhole(status);
}

std::int64_t BoundedDownload::Transfer::announcedLength() const {
    curl_off_t announced = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    return announced;
}

bool BoundedDownload::Transfer::acceptWhole(long status) {
    if (status != 200 || announcedLength() > limit) {
        replaceFailure(std::make_exception_ptr(BootstrapError::invalid(unavailableMessage)));
        return false;
    }
    return true;
}

// The answer to "Range: bytes=N-". A 200 sends the whole body, so the file starts again; a
// 206 continues it only when it is exactly the rest, "bytes N-(limit-1)/limit" (or "/*").
// Anything else is refused like any unexpected response, and the kept bytes are dropped so
// that a server that cannot serve ranges costs one failed attempt, not every later one.
bool BoundedDownload::Transfer::acceptRange(long status) {
    const std::int64_t from = std::exchange(resumedFrom, 0);
    if (status == 200) {
        restartFromZero();
        return acceptWhole(status);
    }
    const std::string expected = "bytes " + std::to_string(from) + "-" + std::to_string(limit - 1) + "/";
    std::string_view range(contentRange);
    while (!range.empty() && (range.front() == ' ' || range.front() == '\t')) {
        range.remove_prefix(1);
    }
    while (!range.empty() && (range.back() == '\n' || range.back() == '\r' || range.back() == ' ')) {
        range.remove_suffix(1);
    }
    const std::string_view completeLength = range.substr(std::min(expected.size(), range.size()));
    const bool rest = status == 206 && range.starts_with(expected) &&
                      (completeLength == std::to_string(limit) || completeLength == "*") &&
                      announcedLength() <= limit - from;
    if (!rest) {
        restartFromZero();
        replaceFailure(std::make_exception_ptr(BootstrapError::invalid(unavailableMessage)));
        return false;
    }
    return true;
}

void BoundedDownload::Transfer::restartFromZero() {
    if (::ftruncate(handle.get(), 0) != 0) {
        throwSystemError(errno, "ftruncate", destination);
    }
    received = 0;
    writebackStart = 0;
}

bool BoundedDownload::Transfer::onChunk(const char* data, std::size_t size) {
    if (failure) {
        return false;
    }
    if (size > static_cast<std::uint64_t>(limit - received)) {
        recordFailure(std::make_exception_ptr(BootstrapError::invalid(exceededMessage)));
        return false;
    }
    writeAll(handle.get(), std::string_view(data, size), destination);
    received += static_cast<std::int64_t>(size);
    startWriteback();
    const Clock::time_point now = Clock::now();
    if (!lastProgress || now - *lastProgress >= progressInterval) {
        lastProgress = now;
        progress(received);
    }
    return true;
}

// Only a hint to the kernel: errors are left for fsync() at completion to report.
void BoundedDownload::Transfer::startWriteback() {
#ifdef __linux__
    if (received - writebackStart >= writebackStep) {
        ::sync_file_range(handle.get(), writebackStart, received - writebackStart, SYNC_FILE_RANGE_WRITE);
        writebackStart = received;
    }
#endif
}

// The staging file must be on stable storage before anyone trusts its bytes: the caller
// digests it and moves it into a release that survives a crash.
void BoundedDownload::Transfer::complete(CURLcode result) {
    if (result != CURLE_OK) {
        recordFailure(std::make_exception_ptr(TransportError(result, describe(result))));
    }
    if (::fsync(handle.get()) != 0) {
        recordFailure(systemFailure(errno, "fsync", destination));
        return;
    }
    if (::close(handle.release()) != 0) {
        recordFailure(systemFailure(errno, "close", destination));
    }
}

std::string BoundedDownload::Transfer::describe(CURLcode result) const {
    std::string text = curl_easy_strerror(result);
    std::string_view detail(errorBuffer.data());
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) {
        detail.remove_suffix(1);
    }
    if (!detail.empty()) {
        text.append(": ").append(detail);
    }
    return text;
}

void BoundedDownload::Transfer::configure(CURL* easy, CURLU* url, curl_slist* headers, curl_slist* connectTo) {
    curl = easy;
    setOption(easy, CURLOPT_CURLU, url);
    setOption(easy, CURLOPT_HTTPGET, 1L);
    setOption(easy, CURLOPT_PROTOCOLS_STR, "https");
    setOption(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    setOption(easy, CURLOPT_FOLLOWLOCATION, 0L);
    setOption(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    setOption(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    setOption(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    // The body is stored exactly as sent: no Accept-Encoding of libcurl's own, no decoding.
    // No cookie engine is ever enabled on the handle, so cookies are neither kept nor sent;
    // libcurl keeps no response cache; .netrc is never read.
    setOption(easy, CURLOPT_HTTPHEADER, headers);
    setOption(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    setOption(easy, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    setOption(easy, CURLOPT_CONNECTTIMEOUT, idleSeconds);
    setOption(easy, CURLOPT_LOW_SPEED_LIMIT, options.resume ? minimumRate : 1L);
    setOption(easy, CURLOPT_LOW_SPEED_TIME, idleSeconds);
    setOption(easy, CURLOPT_TIMEOUT, options.resume ? 0L : totalSeconds);
    // The launcher is multi-threaded; libcurl must not use signals for its timeouts.
    setOption(easy, CURLOPT_NOSIGNAL, 1L);
    setOption(easy, CURLOPT_BUFFERSIZE, receiveBufferBytes);
    // A proxy's own CONNECT response is not the server's response and is not judged.
    setOption(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    setOption(easy, CURLOPT_ERRORBUFFER, errorBuffer.data());
    setOption(easy, CURLOPT_HEADERFUNCTION, &Transfer::headerCallback);
    setOption(easy, CURLOPT_HEADERDATA, this);
    setOption(easy, CURLOPT_WRITEFUNCTION, &Transfer::writeCallback);
    setOption(easy, CURLOPT_WRITEDATA, this);
    // Test and demo builds only. libcurl takes one trust store, so the given file replaces the
    // system's rather than adding to it. A pinned address is reached directly, never through
    // a proxy named in the environment.
    if (!options.caFile.empty()) {
        setOption(easy, CURLOPT_CAINFO, options.caFile.c_str());
    }
    if (connectTo != nullptr) {
        setOption(easy, CURLOPT_CONNECT_TO, connectTo);
        setOption(easy, CURLOPT_NOPROXY, "*");
    }
}

// Exceptions must not cross libcurl's C frames: each callback records what it caught and
// cancels the transfer by answering a count other than the one it was given.
std::size_t BoundedDownload::Transfer::headerCallback(char* data, std::size_t size, std::size_t count, void* self) {
    auto& transfer = *static_cast<Transfer*>(self);
    const std::size_t length = size * count;
    try {
        return transfer.onHeaderLine(std::string_view(data, length)) ? length : 0;
    } catch (...) {
        transfer.recordFailure(std::current_exception());
        return 0;
    }
}

std::size_t BoundedDownload::Transfer::writeCallback(char* data, std::size_t size, std::size_t count, void* self) {
    auto& transfer = *static_cast<Transfer*>(self);
    const std::size_t length = size * count;
    // libcurl may announce an empty body with an empty chunk; it is no chunk at all.
    if (length == 0) {
        return 0;
    }
    try {
        return transfer.onChunk(data, length) ? length : 0;
    } catch (...) {
        transfer.recordFailure(std::current_exception());
        return 0;
    }
}

// A kept prefix as long as the whole file cannot be told from a complete one that was never
// checked, and a range starting at the end has nothing to send: such a file starts again.
void BoundedDownload::Transfer::openToResume() {
    handle = UniqueFd(::open(destination.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat status {};
    if (!handle || ::fstat(handle.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        throw BootstrapError::invalid(stagingMessage);
    }
    if (::fchmod(handle.get(), 0600) != 0) {
        throwSystemError(errno, "chmod", destination);
    }
    resumedFrom = status.st_size;
    if (resumedFrom >= limit) {
        restartFromZero();
        resumedFrom = 0;
    }
    received = resumedFrom;
    writebackStart = resumedFrom;
}

BoundedDownload::BoundedDownload(std::filesystem::path destination, std::int64_t limit, Progress progress,
                                 TransportOptions options)
    : transfer(std::make_unique<Transfer>()) {
    transfer->destination = std::move(destination);
    transfer->limit = limit;
    transfer->progress = std::move(progress);
    transfer->options = std::move(options);
    const std::filesystem::path& path = transfer->destination;
    if (transfer->options.resume) {
        transfer->openToResume();
        return;
    }
    // Any existing entry, a dangling symbolic link included, is refused and left as it is.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        throw BootstrapError::invalid(stagingMessage);
    }
    transfer->handle = UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!transfer->handle) {
        throw BootstrapError::invalid(stagingMessage);
    }
    // The creation mode passes through the umask; the staging file's mode is fixed.
    if (::fchmod(transfer->handle.get(), 0600) != 0) {
        throwSystemError(errno, "chmod", path);
    }
}

BoundedDownload::~BoundedDownload() = default;

void BoundedDownload::fetch(const std::string& url) {
    Transfer& state = *transfer;
    if (std::exchange(state.fetched, true)) {
        throw std::logic_error("A BoundedDownload serves one fetch.");
    }
    const CurlUrl origin = approvedOrigin(url);

    initialiseCurlOnce();
    const CurlEasy curl(curl_easy_init());
    if (!curl) {
        throw TransportError(CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
    }
    CurlList headers;
    append(headers, "Accept-Encoding: identity");
    append(headers, "User-Agent: Korvel-Online-Launcher/1");
    append(headers, "Accept:");  // drops libcurl's default "Accept: */*"
    if (state.resumedFrom > 0) {
        append(headers, "Range: bytes=" + std::to_string(state.resumedFrom) + "-");
    }
    CurlList connectTo;
    for (const auto& [host, address] : state.options.connectTo) {
        append(connectTo, host + "::" + address);  // any port: a refused origin must not escape either
    }
    state.configure(curl.get(), origin.get(), headers.get(), connectTo.get());

    state.complete(curl_easy_perform(curl.get()));
    if (state.failure) {
        std::rethrow_exception(state.failure);
    }
    state.progress(state.received);
}

TransportOptions loopbackTransportOptions(const std::filesystem::path& caFile, const std::string& address) {
    TransportOptions options{.caFile = caFile, .connectTo = {}};
    if (!address.empty()) {
        options.connectTo = {{BootstrapPolicy::webHost, address}, {BootstrapPolicy::downloadHost, address}};
    }
    return options;
}

void downloadFile(const std::string& url, const std::filesystem::path& destination, std::int64_t limit,
                  const Progress& progress) {
    BoundedDownload download(destination, limit, progress);
    download.fetch(url);
}

} // namespace korvel
