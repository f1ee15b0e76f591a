#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "policy/release.h"

// Any bytes may sit in "current.json". Decoding may refuse them only with DecodingError; any
// other exception, crash or sanitizer report is a fault. A record that decodes must survive
// being written and read back unchanged, as the selection record is.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    try {
        const korvel::CurrentRelease record = korvel::decodeJson<korvel::CurrentRelease>(document);
        const korvel::CurrentRelease reread = korvel::decodeJson<korvel::CurrentRelease>(korvel::encodeJson(record));
        if (reread.schema != record.schema || reread.release != record.release) {
            std::abort();
        }
    } catch (const korvel::DecodingError&) {
    }
    return 0;
}
