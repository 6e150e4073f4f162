#include "json/json_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>

namespace quiver::jsonfile {

namespace {

// The parser's own message can quote a token of any length; it is cut to this.
constexpr std::size_t kParserMessageLength = 200;

std::string Cut(std::string_view text, std::size_t limit) {
    std::string out;
    const std::size_t shown = std::min(text.size(), limit);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte > 0x7E || byte == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += static_cast<char>(byte);
        }
    }
    if (shown < text.size()) {
        out += "... (" + std::to_string(text.size()) + " characters)";
    }
    return out;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Builds the document from the parser's events, which come without recursion, and stops the
// parse at the first key given twice or the first container beyond kMaxDepth. Only the open
// containers are tracked, so a path costs as much as the depth, which is bounded.
class CheckedBuilder {
  public:
    using number_integer_t = Value::number_integer_t;
    using number_unsigned_t = Value::number_unsigned_t;
    using number_float_t = Value::number_float_t;
    using string_t = Value::string_t;
    using binary_t = Value::binary_t;

    bool null() { return Put(nullptr) != nullptr; }
    bool boolean(bool v) { return Put(v) != nullptr; }
    bool number_integer(number_integer_t v) { return Put(v) != nullptr; }
    bool number_unsigned(number_unsigned_t v) { return Put(v) != nullptr; }
    bool number_float(number_float_t v, const string_t&) { return Put(v) != nullptr; }
    bool string(string_t& v) { return Put(std::move(v)) != nullptr; }
    bool binary(binary_t&) {
        error_ = Error("", "not valid JSON: binary data");
        return false;
    }
    bool start_object(std::size_t) { return Open(Value::object()); }
    bool start_array(std::size_t) { return Open(Value::array()); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }

    bool key(string_t& key) {
        Frame& frame = open_.back();
        const bool given = frame.container->contains(key);
        frame.member = &(*frame.container)[key];
        frame.key = std::move(key);
        if (given) {
            error_ = Error(Path(), "the key is given twice");
            return false;
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        error_ = Error("", "not valid JSON: " + Cut(e.what(), kParserMessageLength));
        return false;
    }

    Value Take() {
        if (error_.has_value()) {
            throw *error_;
        }
        return std::move(root_);
    }

  private:
    struct Frame {
        Value* container;
        std::size_t count = 0;    // arrays: elements begun
        std::string key;          // objects: the member being read
        Value* member = nullptr;  // objects: its value
    };

    // Where the next value goes, counting it in its array.
    Value* Put(Value value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Frame& frame = open_.back();
        if (frame.container->is_array()) {
            ++frame.count;
            frame.container->push_back(std::move(value));
            return &frame.container->back();
        }
        *frame.member = std::move(value);
        return frame.member;
    }

    bool Open(Value container) {
        if (open_.size() >= kMaxDepth) {
            if (!open_.empty() && open_.back().container->is_array()) {
                ++open_.back().count;
            }
            error_ = Error(Path(), "nested deeper than " + std::to_string(kMaxDepth) + " levels");
            return false;
        }
        open_.push_back(Frame{Put(std::move(container)), 0, {}, nullptr});
        return true;
    }

    bool Close() {
        open_.pop_back();
        return true;
    }

    // The path of the value being read.
    std::string Path() const {
        std::string path;
        for (const Frame& frame : open_) {
            if (frame.container->is_array()) {
                path = Element(path, frame.count == 0 ? 0 : frame.count - 1);
            } else if (frame.member != nullptr) {
                path = Member(path, frame.key);
            }
        }
        return path.empty() ? "(top level)" : path;
    }

    Value root_;
    std::vector<Frame> open_;
    std::optional<Error> error_;
};

}  // namespace

Error::Error(std::string path, std::string problem)
    : std::runtime_error(path.empty() ? problem : path + ": " + problem),
      path_(std::move(path)),
      problem_(std::move(problem)) {}

void Fail(const std::string& path, const std::string& problem) {
    throw Error(path.empty() ? "(top level)" : path, problem);
}

Value Parse(std::string_view text) {
    CheckedBuilder builder;
    Value::sax_parse(text.begin(), text.end(), &builder);
    return builder.Take();
}

std::string Member(const std::string& path, std::string_view key) {
    return path.empty() ? Shown(key) : path + "." + Shown(key);
}

std::string Element(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

std::string Shown(std::string_view text) {
    return Cut(text, kShownLength);
}

std::string Quoted(std::string_view text) {
    return "\"" + Shown(text) + "\"";
}

std::string Kind(const Value& value) {
    switch (value.type()) {
        case Value::value_t::null:
            return "null";
        case Value::value_t::object:
            return "an object";
        case Value::value_t::array:
            return "an array";
        case Value::value_t::string:
            return "a string";
        case Value::value_t::boolean:
            return "true/false";
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned:
        case Value::value_t::number_float:
            return "a number";
        default:
            return "something else";
    }
}

std::string Describe(const Value& value) {
    if (value.is_string()) {
        return Quoted(value.get_ref<const std::string&>());
    }
    if (value.is_structured() || value.is_binary()) {
        return Kind(value);
    }
    return Shown(value.dump());
}

bool AsBool(const Value& value, const std::string& path) {
    if (!value.is_boolean()) {
        Fail(path, "expected true or false, found " + Kind(value));
    }
    return value.get<bool>();
}

double AsNumber(const Value& value, const std::string& path, double min, double max) {
    if (!value.is_number()) {
        Fail(path, "expected a number, found " + Kind(value));
    }
    const double number = value.get<double>();
    if (!(number >= min && number <= max)) {
        Fail(path, "expected a number from " + Number(min) + " to " + Number(max));
    }
    return number;
}

std::int64_t AsInteger(const Value& value, const std::string& path, std::int64_t min,
                       std::int64_t max) {
    const std::string range = "from " + std::to_string(min) + " to " + std::to_string(max);
    if (!value.is_number_integer()) {
        std::string found = ", found " + Kind(value);
        if (value.is_number()) {
            // A whole number beyond the integer types arrives as a double, like a fraction.
            const double number = value.get<double>();
            found =
                number != std::floor(number) ? ", found a fraction" : ", found " + Describe(value);
        }
        Fail(path, "expected a whole number " + range + found);
    }
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        Fail(path, "expected a whole number " + range);
    }
    const std::int64_t number = value.get<std::int64_t>();
    if (number < min || number > max) {
        Fail(path, "expected a whole number " + range);
    }
    return number;
}

std::string AsString(const Value& value, const std::string& path) {
    if (!value.is_string()) {
        Fail(path, "expected a string, found " + Kind(value));
    }
    return value.get<std::string>();
}

std::string AsAscii(const Value& value, const std::string& path, std::size_t max_length) {
    std::string text = AsString(value, path);
    if (text.size() > max_length) {
        Fail(path, "at most " + std::to_string(max_length) + " characters, found " +
                       std::to_string(text.size()));
    }
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            Fail(path, "expected printable ASCII");
        }
    }
    return text;
}

Object::Object(const Value& value, std::string path) : value_(value), path_(std::move(path)) {
    if (!value_.is_object()) {
        Fail(path_, "expected an object, found " + Kind(value_));
    }
}

std::vector<Error> Object::Unknown(std::span<const char* const> known) const {
    std::vector<Error> unknown;
    for (const auto& item : value_.items()) {
        bool found = false;
        std::string hint;
        for (const char* key : known) {
            found = found || item.key() == key;
            if (EqualsIgnoringCase(item.key(), key)) {
                hint = " (did you mean " + Quoted(key) + "?)";
            }
        }
        if (!found) {
            unknown.emplace_back(At(item.key()), "unknown key" + hint);
        }
    }
    return unknown;
}

void Object::Allow(std::initializer_list<const char*> known) const {
    const std::vector<Error> unknown = Unknown({known.begin(), known.size()});
    if (!unknown.empty()) {
        throw unknown.front();
    }
}

const Value* Object::Find(const char* key) const {
    const auto it = value_.find(key);
    return it == value_.end() ? nullptr : &*it;
}

bool Object::Bool(const char* key, bool fallback) const {
    const Value* v = Find(key);
    return v == nullptr ? fallback : AsBool(*v, At(key));
}

double Object::Real(const char* key, double fallback, double min, double max) const {
    const Value* v = Find(key);
    return v == nullptr ? fallback : AsNumber(*v, At(key), min, max);
}

std::int64_t Object::Integer(const char* key, std::int64_t fallback, std::int64_t min,
                             std::int64_t max) const {
    const Value* v = Find(key);
    return v == nullptr ? fallback : AsInteger(*v, At(key), min, max);
}

std::uint8_t Object::Byte(const char* key, std::uint8_t fallback) const {
    return static_cast<std::uint8_t>(Integer(key, fallback, 0, 255));
}

std::uint32_t Object::Uint32(const char* key, std::uint32_t fallback, std::uint32_t min) const {
    return static_cast<std::uint32_t>(
        Integer(key, fallback, min, std::numeric_limits<std::uint32_t>::max()));
}

std::string Object::String(const char* key, const std::string& fallback) const {
    const Value* v = Find(key);
    return v == nullptr ? fallback : AsString(*v, At(key));
}

std::string Object::Ascii(const char* key, const std::string& fallback,
                          std::size_t max_length) const {
    const Value* v = Find(key);
    return v == nullptr ? fallback : AsAscii(*v, At(key), max_length);
}

const Value& Object::Array(const char* key) const {
    static const Value kEmpty = Value::array();
    const Value* v = Find(key);
    if (v == nullptr) {
        return kEmpty;
    }
    if (!v->is_array()) {
        Fail(At(key), "expected an array, found " + Kind(*v));
    }
    return *v;
}

}  // namespace quiver::jsonfile
