#pragma once

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "installer/online_installer.h"
#include "tests/support/installer_access.h"
#include "tests/support/temp_dir.h"

namespace korvel::testing {

// An installer whose root is the existing directory temp/"Client", with stub operations:
// downloads fail, and the signature check records every bundle it is given and then runs
// signatureCheck when a test set one. Not movable: the stubs point back at the sandbox.
struct InstallerSandbox {
    InstallerSandbox() { std::filesystem::create_directory(root); }
    InstallerSandbox(const InstallerSandbox&) = delete;
    InstallerSandbox& operator=(const InstallerSandbox&) = delete;

    TempDir temp;
    std::filesystem::path root = temp / "Client";
    std::vector<std::filesystem::path> signedApps;
    SignatureCheck signatureCheck;
    OnlineInstaller installer{root,
                              [](const std::string&, const std::filesystem::path&, std::int64_t, const Progress&) {
                                  throw std::runtime_error("This test has no network.");
                              },
                              [this](const std::filesystem::path& app) {
                                  signedApps.push_back(app);
                                  if (signatureCheck) {
                                      signatureCheck(app);
                                  }
                              }};
    OnlineInstallerTestAccess access{installer};
};

} // namespace korvel::testing
