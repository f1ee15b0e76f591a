#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace korvel {

// The installer reaches the network, the signature tool and the window only through these
// three injected operations, so it runs with stubs anywhere.

// Told the number of body bytes received so far. Called from the download's own thread
// during a transfer and once from the caller's thread at its end.
using Progress = std::function<void(std::int64_t received)>;

// Fetches url into a fresh file at destination, accepting at most limit bytes.
using DownloadOperation = std::function<void(const std::string& url, const std::filesystem::path& destination,
                                             std::int64_t limit, const Progress& progress)>;

// Throws unless the application bundle at app carries a valid signature.
using SignatureCheck = std::function<void(const std::filesystem::path& app)>;

// Reports what the installer is doing; must be safe to call from any thread.
using StatusOperation = std::function<void(const std::string& message, double fraction)>;

} // namespace korvel
