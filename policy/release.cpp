#include "policy/release.h"

#include <cstddef>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

namespace korvel {

using Kind = DecodingError::Kind;

DecodingError::DecodingError(Kind kind, std::string codingPath, const std::string& description)
    : std::runtime_error(codingPath.empty() ? description : description + " (" + codingPath + ")"),
      kind_(kind),
      codingPath_(std::move(codingPath)) {}

namespace {

using Json = nlohmann::json;

// The sentences may reach the player's alert, so they name what is wrong in plain words and
// never quote document bytes, which could be anything.
const std::string missingMember = "The data couldn’t be read because it is missing.";
const std::string nullValue = "The data couldn’t be read because a required value is null.";
const std::string integerTooLarge = "The data couldn’t be read because a number does not fit in a 64-bit integer.";

std::string wrongType(std::string_view expected) {
    return "The data couldn’t be read because it isn’t in the correct format: " + std::string(expected) +
           " was expected.";
}

// Builds the document tree through the parser's event interface rather than Json::parse for
// one reason: an integer literal beyond 64 bits would otherwise reach the tree as a rounded
// double, and -9223372036854775809 would read back as the smallest int64. Such a literal is
// stored as a binary value instead, which JSON text can never produce, so that decoding can
// report it as dataCorrupted at its coding path. Of repeated member names the last one wins.
class TreeBuilder {
public:
    explicit TreeBuilder(Json& root) : root_(root) {}

    bool null() { return add(nullptr); }
    bool boolean(bool value) { return add(value); }
    bool number_integer(Json::number_integer_t value) { return add(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return add(value); }
    bool number_float(Json::number_float_t value, const std::string& literal) {
        const bool writtenAsInteger = literal.find_first_of(".eE") == std::string::npos;
        return writtenAsInteger ? add(Json::binary(Json::binary_t::container_type{})) : add(value);
    }
    bool string(std::string& value) { return add(std::move(value)); }
    bool binary(Json::binary_t& value) { return add(std::move(value)); }
    bool start_object(std::size_t) { return open(Json::object()); }
    bool key(std::string& name) {
        key_ = std::move(name);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_array() { return close(); }

    // Not JSON, invalid UTF-8, trailing bytes, or a number beyond the range of a double.
    bool parse_error(std::size_t byte, const std::string&, const Json::exception& error) {
        constexpr int numberOverflow = 406;
        const std::string reason = error.id == numberOverflow ? "it holds a number too large to represent"
                                                              : "it isn’t valid JSON";
        throw DecodingError(Kind::dataCorrupted, "",
                            "The data couldn’t be read because " + reason + " (at byte " + std::to_string(byte) +
                                ").");
    }

private:
    // Only the innermost open container ever grows, so the pointers to the open containers
    // further out stay valid.
    Json* place(Json&& value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& container = *open_.back();
        if (container.is_array()) {
            container.push_back(std::move(value));
            return &container.back();
        }
        Json& member = container[key_];
        member = std::move(value);
        return &member;
    }
    bool add(Json&& value) {
        place(std::move(value));
        return true;
    }
    bool open(Json&& container) {
        open_.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    Json& root_;
    std::vector<Json*> open_;
    std::string key_;
};

Json parseDocument(std::string_view document) {
    Json root;
    TreeBuilder builder(root);
    Json::sax_parse(document.begin(), document.end(), &builder);
    return root;
}

// A value of the document together with the coding path that leads to it.
struct Node {
    const Json& value;
    std::string path;
};

[[noreturn]] void fail(Kind kind, const Node& node, const std::string& description) {
    throw DecodingError(kind, node.path, description);
}

void requireKind(const Node& node, bool matches, std::string_view expected) {
    if (node.value.is_null()) {
        fail(Kind::valueNotFound, node, nullValue);
    }
    if (!matches) {
        fail(Kind::typeMismatch, node, wrongType(expected));
    }
}

template <class Value>
Value decodeValue(const Node& node);

template <class Value>
Value decodeMember(const Node& object, const std::string& name) {
    std::string path = object.path.empty() ? name : object.path + "." + name;
    const auto member = object.value.find(name);
    if (member == object.value.end()) {
        throw DecodingError(Kind::keyNotFound, std::move(path), missingMember);
    }
    return decodeValue<Value>({*member, std::move(path)});
}

void requireObject(const Node& node) { requireKind(node, node.value.is_object(), "an object"); }

template <>
std::string decodeValue<std::string>(const Node& node) {
    requireKind(node, node.value.is_string(), "text");
    return node.value.get<std::string>();
}

template <>
bool decodeValue<bool>(const Node& node) {
    requireKind(node, node.value.is_boolean(), "true or false");
    return node.value.get<bool>();
}

// Only integer literals decode as integers: a number written with a fraction or an exponent
// (1.0, 1e0) is a type mismatch even when its value is integral, because its value may already
// have been rounded and could silently name another size.
template <>
std::int64_t decodeValue<std::int64_t>(const Node& node) {
    const bool outOfRange =
        node.value.is_binary() ||
        (node.value.is_number_unsigned() &&
         node.value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
    if (outOfRange) {
        fail(Kind::dataCorrupted, node, integerTooLarge);
    }
    requireKind(node, node.value.is_number_integer(), "an integer");
    return node.value.get<std::int64_t>();
}

// The braced initialisers below are evaluated in order, so members are read in declaration
// order and the first one that fails decides the error.
template <>
ReleaseFile decodeValue<ReleaseFile>(const Node& node) {
    requireObject(node);
    return ReleaseFile{
        .path = decodeMember<std::string>(node, "path"),
        .url = decodeMember<std::string>(node, "url"),
        .bytes = decodeMember<std::int64_t>(node, "bytes"),
        .sha256 = decodeMember<std::string>(node, "sha256"),
        .executable = decodeMember<bool>(node, "executable"),
    };
}

template <>
std::vector<ReleaseFile> decodeValue<std::vector<ReleaseFile>>(const Node& node) {
    requireKind(node, node.value.is_array(), "an array");
    std::vector<ReleaseFile> files;
    files.reserve(node.value.size());
    for (std::size_t index = 0; index < node.value.size(); ++index) {
        files.push_back(decodeValue<ReleaseFile>({node.value[index], node.path + "[" + std::to_string(index) + "]"}));
    }
    return files;
}

template <>
ReleasePlatform decodeValue<ReleasePlatform>(const Node& node) {
    requireObject(node);
    return ReleasePlatform{
        .entrypoint = decodeMember<std::string>(node, "entrypoint"),
        .files = decodeMember<std::vector<ReleaseFile>>(node, "files"),
    };
}

// Every entry decodes, whatever its name: a malformed entry fails the whole document even
// under a platform name that the policy later refuses or never examines.
template <>
std::map<std::string, ReleasePlatform> decodeValue<std::map<std::string, ReleasePlatform>>(const Node& node) {
    requireObject(node);
    std::map<std::string, ReleasePlatform> platforms;
    for (const auto& [name, entry] : node.value.items()) {
        platforms.emplace(name, decodeValue<ReleasePlatform>({entry, node.path + "." + name}));
    }
    return platforms;
}

template <>
ReleaseManifest decodeValue<ReleaseManifest>(const Node& node) {
    requireObject(node);
    return ReleaseManifest{
        .schema = decodeMember<std::int64_t>(node, "schema"),
        .release = decodeMember<std::string>(node, "release"),
        .platforms = decodeMember<std::map<std::string, ReleasePlatform>>(node, "platforms"),
    };
}

template <>
CurrentRelease decodeValue<CurrentRelease>(const Node& node) {
    requireObject(node);
    return CurrentRelease{
        .schema = decodeMember<std::int64_t>(node, "schema"),
        .release = decodeMember<std::string>(node, "release"),
    };
}

template <class Record>
Record decodeDocument(std::string_view document) {
    const Json root = parseDocument(document);
    return decodeValue<Record>({root, ""});
}

} // namespace

template <>
ReleaseFile decodeJson<ReleaseFile>(std::string_view document) {
    return decodeDocument<ReleaseFile>(document);
}

template <>
ReleasePlatform decodeJson<ReleasePlatform>(std::string_view document) {
    return decodeDocument<ReleasePlatform>(document);
}

template <>
ReleaseManifest decodeJson<ReleaseManifest>(std::string_view document) {
    return decodeDocument<ReleaseManifest>(document);
}

template <>
CurrentRelease decodeJson<CurrentRelease>(std::string_view document) {
    return decodeDocument<CurrentRelease>(document);
}

// A release name that is not valid UTF-8 makes the writer throw its own type_error, passed on
// unchanged; names that pass the policy are plain ASCII.
std::string encodeJson(const CurrentRelease& record) {
    return nlohmann::ordered_json{{"schema", record.schema}, {"release", record.release}}.dump();
}

std::string encodeJson(const ReleaseManifest& manifest) {
    nlohmann::ordered_json platforms = nlohmann::ordered_json::object();
    for (const auto& [name, platform] : manifest.platforms) {
        nlohmann::ordered_json files = nlohmann::ordered_json::array();
        for (const ReleaseFile& file : platform.files) {
            files.push_back({{"path", file.path},
                             {"url", file.url},
                             {"bytes", file.bytes},
                             {"sha256", file.sha256},
                             {"executable", file.executable}});
        }
        platforms[name] = {{"entrypoint", platform.entrypoint}, {"files", std::move(files)}};
    }
    const nlohmann::ordered_json document = {
        {"schema", manifest.schema}, {"release", manifest.release}, {"platforms", std::move(platforms)}};
    return document.dump(2) + "\n";
}

} // namespace korvel
