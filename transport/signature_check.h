#pragma once

#include <filesystem>

namespace korvel {

// The installer's signature check: runs the platform's code-signing verifier
// (KORVEL_CODESIGN_TOOL, fixed at build time) on the application bundle.
void verifyDownloadedApp(const std::filesystem::path& app);

// Runs tool with exactly "--verify --deep --strict <app>", output discarded, and waits.
// Exit status 0 passes; anything else throws BootstrapError. A tool that cannot be
// started surfaces as the platform's error.
void verifyAppSignature(const std::filesystem::path& tool, const std::filesystem::path& app);

} // namespace korvel
