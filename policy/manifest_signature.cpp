#include "policy/manifest_signature.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "base/ed25519.h"
#include "policy/bootstrap_error.h"

namespace korvel {

namespace {

const std::string untrustedMessage = "The release manifest is not signed by a trusted key.";
const std::string malformedMessage = "The release manifest lacks valid signed details.";
const std::string elsewhereMessage = "The release manifest is for another product, channel or platform.";
const std::string expiredMessage = "The release manifest has expired.";

std::string signedMessage(std::string_view document) {
    std::string message(ManifestSignature::domain);
    message.append(document);
    return message;
}

bool trusted(std::string_view document, std::string_view signatureFile, const std::vector<std::string>& keys) {
    if (!signatureFile.ends_with('\n')) {
        return false;
    }
    const std::string_view line = signatureFile.substr(0, signatureFile.size() - 1);
    const std::string message = signedMessage(document);
    for (const std::string& key : keys) {
        if (signatureLineVerifies(key, line, message)) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> textMember(const nlohmann::json& document, const char* name) {
    const auto member = document.find(name);
    if (member == document.end() || !member->is_string()) {
        return std::nullopt;
    }
    return member->get<std::string>();
}

} // namespace

const std::string ManifestSignature::url = "https://" KORVEL_WEB_HOST "/online-beta/manifest.json.sig";

std::optional<SignedDetails> signedDetails(std::string_view document) {
    const nlohmann::json parsed = nlohmann::json::parse(document, nullptr, false);
    if (!parsed.is_object()) {
        return std::nullopt;
    }
    const auto sequence = parsed.find("sequence");
    const std::optional<std::string> expires = textMember(parsed, "expires");
    const std::optional<std::int64_t> expiresAt = expires ? parseUtcTime(*expires) : std::nullopt;
    if (sequence == parsed.end() || !sequence->is_number_integer() || !expiresAt) {
        return std::nullopt;
    }
    // An unsigned value beyond the signed range reads as negative and is refused with them.
    const std::int64_t number = sequence->get<std::int64_t>();
    if (number < 1 || (sequence->is_number_unsigned() && sequence->get<std::uint64_t>() > INT64_MAX)) {
        return std::nullopt;
    }
    return SignedDetails{number, *expiresAt};
}

SignedDetails authenticateManifest(std::string_view document, std::string_view signatureFile,
                                   const ManifestTrust& trust, std::int64_t now) {
    if (!trusted(document, signatureFile, trust.publicKeysPem)) {
        throw BootstrapError::invalid(untrustedMessage);
    }
    const std::optional<SignedDetails> details = signedDetails(document);
    if (!details) {
        throw BootstrapError::invalid(malformedMessage);
    }
    const nlohmann::json parsed = nlohmann::json::parse(document);
    if (textMember(parsed, "product") != trust.product || textMember(parsed, "channel") != trust.channel ||
        textMember(parsed, "platform") != trust.platform) {
        throw BootstrapError::invalid(elsewhereMessage);
    }
    if (now >= details->expiresAt) {
        throw BootstrapError::invalid(expiredMessage);
    }
    return *details;
}

std::string withSignedDetails(std::string_view document, const SignedDetails& details, const ManifestTrust& target) {
    nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(document);
    for (const char* name : {"sequence", "expires", "product", "channel", "platform"}) {
        parsed.erase(name);
    }
    parsed["sequence"] = details.sequence;
    parsed["expires"] = formatUtcTime(details.expiresAt);
    parsed["product"] = target.product;
    parsed["channel"] = target.channel;
    parsed["platform"] = target.platform;
    return parsed.dump(2) + "\n";
}

std::string manifestSignatureFile(std::string_view document, std::string_view privateKeyPem) {
    return signatureLine(privateKeyPem, signedMessage(document)) + "\n";
}

std::optional<std::int64_t> parseUtcTime(std::string_view text) {
    std::tm fields{};
    char zone = '\0';
    char rest = '\0';
    const std::string copy(text);
    if (text.size() != 20 ||
        std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%c", &fields.tm_year, &fields.tm_mon, &fields.tm_mday,
                    &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &zone, &rest) != 7 ||
        zone != 'Z') {
        return std::nullopt;
    }
    const std::tm asWritten = fields;
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    const std::time_t seconds = ::timegm(&fields);
    // timegm normalises an impossible date (February 30th); writing the result back shows it.
    if (formatUtcTime(seconds) != copy || asWritten.tm_year < 1970) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(seconds);
}

std::string formatUtcTime(std::int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm fields{};
    ::gmtime_r(&time, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return text;
}

} // namespace korvel
