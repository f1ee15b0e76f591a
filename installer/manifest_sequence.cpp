#include <cerrno>
#include <chrono>
#include <string>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "base/atomic_write.h"
#include "base/scope_exit.h"
#include "base/sha256.h"
#include "base/system_error.h"
#include "base/uuid.h"
#include "installer/online_installer.h"
#include "policy/bootstrap_error.h"
#include "policy/bootstrap_policy.h"

namespace korvel {

namespace fs = std::filesystem;

namespace {

constexpr const char* recordName = "manifest-sequence.json";

} // namespace

// A manifest sequence accepted earlier and the SHA-256 of the manifest it was accepted with.
struct OnlineInstaller::AcceptedSequence {
    std::int64_t sequence = 0;
    std::string sha256;

    // A record that does not decode counts as missing rather than as a dead end: the floor of
    // the selected release still holds, so losing the record cannot unlock a rollback below it.
    static AcceptedSequence decode(const std::string& text) {
        const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
        if (!record.is_object() || !record.contains("sequence") || !record["sequence"].is_number_integer() ||
            !record.contains("sha256") || !record["sha256"].is_string()) {
            return {};
        }
        return {record["sequence"].get<std::int64_t>(), record["sha256"].get<std::string>()};
    }
};

// The selected release was accepted with its own sequence, which its saved manifest keeps, so
// losing the record cannot unlock a rollback below the release in place. A selection that
// cannot be read gives no floor here: the fallback meets the same fault and reports it.
OnlineInstaller::AcceptedSequence OnlineInstaller::selectedSequence() const {
    const std::optional<std::string> selected = selectedRelease();
    if (!selected) {
        return {};
    }
    try {
        const std::optional<std::string> saved = presentData(root / "releases" / *selected / "installed-manifest.json");
        const std::optional<SignedDetails> details = saved ? signedDetails(*saved) : std::nullopt;
        return details ? AcceptedSequence{details->sequence, sha256Hex(*saved)} : AcceptedSequence{};
    } catch (const BootstrapError&) {
        return {};
    }
}

void OnlineInstaller::authenticate(const std::string& data) {
    const fs::path stagedSignature = root / (".manifest-" + randomUuid() + ".sig");
    const ScopeExit removeStagedSignature([&stagedSignature] {
        std::error_code ignored;
        fs::remove_all(stagedSignature, ignored);
    });
    download(ManifestSignature::url, stagedSignature, ManifestSignature::limit, [](std::int64_t) {});
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const SignedDetails incoming =
        authenticateManifest(data, boundedData(stagedSignature), options.manifestTrust, now);

    const fs::path recordPath = root / recordName;
    const std::optional<std::string> recordText = presentData(recordPath);
    const AcceptedSequence recorded = recordText ? AcceptedSequence::decode(*recordText) : AcceptedSequence{};
    const std::string digest = sha256Hex(data);
    for (const AcceptedSequence& accepted : {recorded, selectedSequence()}) {
        if (incoming.sequence < accepted.sequence) {
            throw BootstrapError::invalid("The release manifest is older than one this launcher already accepted.");
        }
        if (incoming.sequence == accepted.sequence && digest != accepted.sha256) {
            throw BootstrapError::invalid(
                "The release manifest differs from the one accepted under the same sequence number.");
        }
    }
    if (incoming.sequence > recorded.sequence) {
        const nlohmann::ordered_json record = {{"sequence", incoming.sequence}, {"sha256", digest}};
        writeFileAtomically(recordPath, record.dump(), Durability::flushed);
        if (::chmod(recordPath.c_str(), 0600) != 0) {
            throwSystemError(errno, "chmod", recordPath);
        }
    }
}

} // namespace korvel
