// Reading JSON files written by people: the machine files of quiver-sim and the packaging
// manifests of quiver-pack. The text is parsed with checks the plain parser does not make (a key
// given twice in one object, nesting beyond a fixed depth), and values are read through typed,
// range-checked accessors. Every problem names the JSON path of the value at fault
// ("drives[1].flashId", "banks[0].constraints[2].vendor"), and no error text repeats more than a
// short, escaped cut of what the file holds, however long or strange the file is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace quiver::jsonfile {

using Value = nlohmann::json;

// Objects and arrays nest at most this deep; neither format needs a tenth of it.
constexpr std::size_t kMaxDepth = 64;
// Error texts show at most this many characters of a key or value taken from the file.
constexpr std::size_t kShownLength = 40;

// A problem with the file. path() is the JSON path of the value at fault ("(top level)" for the
// whole document; empty when the text is not JSON at all); what() is "PATH: problem", or the
// problem alone without a path.
class Error : public std::runtime_error {
  public:
    Error(std::string path, std::string problem);
    const std::string& path() const { return path_; }
    const std::string& problem() const { return problem_; }

  private:
    std::string path_;
    std::string problem_;
};

// Throws Error for the value at `path` ("" names the top level).
[[noreturn]] void Fail(const std::string& path, const std::string& problem);

// Parses JSON text. Besides the syntax, a key given twice in one object and nesting deeper than
// kMaxDepth are errors, found before the nesting grows any further.
Value Parse(std::string_view text);

// Paths: "a.b", "a[3]"; a key is shown cut and escaped, like any text from the file.
std::string Member(const std::string& path, std::string_view key);
std::string Element(const std::string& path, std::size_t index);

// A text from the file as an error may show it: bytes outside printable ASCII (and the
// backslash) as \xNN, cut to kShownLength characters with "..." and the full length after it.
std::string Shown(std::string_view text);
// The same in double quotes.
std::string Quoted(std::string_view text);
// "an object", "an array", "a string", "true/false", "a number" or "null".
std::string Kind(const Value& value);
// A value as an error may show it: a scalar in JSON notation, cut; an object or array by kind.
std::string Describe(const Value& value);

// Typed reads of one value; each throws Error naming `path` when the value does not fit.
bool AsBool(const Value& value, const std::string& path);
// A finite number from `min` to `max`.
double AsNumber(const Value& value, const std::string& path, double min, double max);
// A whole number from `min` to `max`, checked before it is converted.
std::int64_t AsInteger(const Value& value, const std::string& path, std::int64_t min,
                       std::int64_t max);
std::string AsString(const Value& value, const std::string& path);
// Printable ASCII (0x20 to 0x7E) of at most `max_length` characters.
std::string AsAscii(const Value& value, const std::string& path, std::size_t max_length);

// One of the names in `choices`, giving its value.
template <typename T>
T AsChoice(const Value& value, const std::string& path,
           std::initializer_list<std::pair<const char*, T>> choices) {
    if (value.is_string()) {
        for (const auto& choice : choices) {
            if (value.get_ref<const std::string&>() == choice.first) {
                return choice.second;
            }
        }
    }
    std::string list;
    for (const auto& choice : choices) {
        list += (list.empty() ? "" : ", ") + Quoted(choice.first);
    }
    Fail(path, "expected one of " + list);
}

// An object of the file: typed reads of its members, each taking a fallback when absent.
class Object {
  public:
    // Throws Error when `value` is not an object.
    Object(const Value& value, std::string path);

    // The keys of the object that are not `known`, as errors in the order of the file, each with
    // a hint when a known key differs only in case. Allow throws the first of them.
    std::vector<Error> Unknown(std::span<const char* const> known) const;
    void Allow(std::initializer_list<const char*> known) const;

    const std::string& path() const { return path_; }
    std::string At(std::string_view key) const { return Member(path_, key); }
    const Value* Find(const char* key) const;
    bool Has(const char* key) const { return Find(key) != nullptr; }

    bool Bool(const char* key, bool fallback) const;
    double Real(const char* key, double fallback, double min, double max) const;
    std::int64_t Integer(const char* key, std::int64_t fallback, std::int64_t min,
                         std::int64_t max) const;
    std::uint8_t Byte(const char* key, std::uint8_t fallback) const;
    std::uint32_t Uint32(const char* key, std::uint32_t fallback, std::uint32_t min) const;
    std::string String(const char* key, const std::string& fallback) const;
    std::string Ascii(const char* key, const std::string& fallback, std::size_t max_length) const;
    template <typename T>
    T Choice(const char* key, T fallback,
             std::initializer_list<std::pair<const char*, T>> choices) const {
        const Value* v = Find(key);
        return v == nullptr ? fallback : AsChoice(*v, At(key), choices);
    }
    // The member as an array (empty when absent).
    const Value& Array(const char* key) const;

  private:
    const Value& value_;
    std::string path_;
};

}  // namespace quiver::jsonfile
