#include "launcher/preparation_module.h"

#include <cstdint>
#include <stdexcept>
#include <string>

#include <dlfcn.h>
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "launcher/installer_preparation.h"

namespace korvel {

namespace {

std::filesystem::path executablePath() {
#if defined(__APPLE__)
    std::uint32_t size = 0;
    ::_NSGetExecutablePath(nullptr, &size);
    std::string buffer(size, '\0');
    if (::_NSGetExecutablePath(buffer.data(), &size) != 0) {
        throw std::runtime_error("The launcher cannot find its own program file.");
    }
    return std::filesystem::path(buffer.c_str());
#else
    return std::filesystem::read_symlink("/proc/self/exe");
#endif
}

} // namespace

std::filesystem::path preparationModuleBesideExecutable() {
    return executablePath().parent_path() / "korvel-preparation.so";
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
