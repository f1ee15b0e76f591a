#pragma once

#include "installer/online_installer.h"

namespace korvel {

// The tests' one way to the installer's private operations.
class OnlineInstallerTestAccess {
public:
    explicit OnlineInstallerTestAccess(OnlineInstaller& installer) : installer(installer) {}

    const std::filesystem::path& root() const { return installer.root; }
    void noSymlinks(const std::filesystem::path& path) const { installer.noSymlinks(path); }
    void directory(const std::filesystem::path& path) const { installer.directory(path); }
    std::string boundedData(const std::filesystem::path& path) const { return installer.boundedData(path); }
    void verify(const std::filesystem::path& dir, const ReleaseManifest& manifest) const {
        installer.verify(dir, manifest);
    }
    void commit(const std::string& release) const { installer.commit(release); }
    std::filesystem::path previous() const { return installer.previous(); }
    std::filesystem::path install(const ReleaseManifest& manifest, const std::string& data) const {
        return installer.install(manifest, data);
    }

private:
    OnlineInstaller& installer;
};

} // namespace korvel
