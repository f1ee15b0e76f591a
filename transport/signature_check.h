#pragma once

#include <filesystem>
#include <string_view>

namespace korvel {

// The installer's signature check of the application bundle, with what the build trusts
// (cmake/KorvelTrust.cmake). On macOS: verifyAppSignature with the system's codesign and the
// compiled-in code requirement. Elsewhere: the bundle signature (transport/bundle_signature.h)
// verified in this process under the compiled-in public key, the same check korvel-codesign
// runs; no program is started. Passes silently; a bundle that fails, for whatever reason (not
// signed, altered, missing, unreadable), throws BootstrapError with the one sentence of the
// signature check, as the tool's exit status would.
void verifyDownloadedApp(const std::filesystem::path& app);

// Runs tool with exactly "--verify --deep --strict <app>", output discarded, and waits.
// Exit status 0 passes; anything else throws BootstrapError. A tool that cannot be
// started surfaces as the platform's error.
void verifyAppSignature(const std::filesystem::path& tool, const std::filesystem::path& app);

// The same with a code requirement: "--verify --deep --strict -R=<requirement> <app>", so that
// a bundle validly signed by anyone else is refused too. An empty requirement is the call above.
void verifyAppSignature(const std::filesystem::path& tool, const std::filesystem::path& app,
                        std::string_view requirement);

} // namespace korvel
