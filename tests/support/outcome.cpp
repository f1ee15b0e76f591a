#include "tests/support/outcome.h"

#include <cstring>
#include <exception>

#include "policy/release.h"
#include "transport/transport_error.h"

namespace korvel::test {

std::string outcomeOf(const std::function<void()>& operation, const std::filesystem::path& base) {
    try {
        operation();
        return "";
    } catch (const std::filesystem::filesystem_error& error) {
        const char* const name = ::strerrorname_np(error.code().value());
        const std::string path = error.path1().string();
        const std::string prefix = base.string() + "/";
        return std::string(name != nullptr ? name : "EUNKNOWN") + " " +
               (!base.empty() && path.starts_with(prefix) ? path.substr(prefix.size()) : path);
    } catch (const DecodingError& error) {
        static const char* const kinds[] = {"typeMismatch", "keyNotFound", "valueNotFound", "dataCorrupted"};
        return kinds[static_cast<int>(error.kind())] + (error.codingPath().empty() ? "" : " " + error.codingPath());
    } catch (const TransportError& error) {
        return "curl " + std::to_string(error.code());
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown";
    }
}

} // namespace korvel::test
