#include "launcher/preparation_module.h"

#include <stdexcept>

#include <dlfcn.h>

#include "launcher/installer_preparation.h"

namespace korvel {

std::filesystem::path preparationModuleBesideExecutable() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "korvel-preparation.so";
}

PreparedClient prepareWithModule(const std::filesystem::path& module, const StatusOperation& status) {
    // Never closed: libcurl and OpenSSL keep process-wide state and exit handlers that must
    // not outlive their code, and the launcher ends soon after the preparation anyway.
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error(::dlerror());
    }
    auto* entry =
        reinterpret_cast<decltype(&korvelPrepareInstalledClient)>(::dlsym(handle, "korvelPrepareInstalledClient"));
    if (entry == nullptr) {
        throw std::runtime_error(::dlerror());
    }
    PreparedClient client;
    entry(&status, &client);
    return client;
}

} // namespace korvel
