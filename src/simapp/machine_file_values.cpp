// Reading the typed values of a machine file.
#include "simapp/machine_file_values.h"

#include <cctype>

namespace quiver::simapp::machine_file_values {

using nlohmann::json;

using jsonfile::AsInteger;
using jsonfile::AsString;
using jsonfile::Element;
using jsonfile::Fail;
using jsonfile::Kind;
using jsonfile::Quoted;

namespace {

bool ParseHexByte(const std::string& text, std::size_t maxDigits, std::uint8_t* out) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    unsigned value = 0;
    for (char c : text) {
        const unsigned char u =
            static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
        if (!std::isxdigit(u)) {
            return false;
        }
        value = value * 16 + (u <= '9' ? u - '0' : u - 'A' + 10);
    }
    *out = static_cast<std::uint8_t>(value);
    return true;
}

}  // namespace

std::array<std::uint8_t, 4> AsFlashId(const json& j, const std::string& path) {
    std::array<std::uint8_t, 4> id{};
    if (j.is_array()) {
        if (j.size() != id.size()) {
            Fail(path, "expected 4 bytes, found " + std::to_string(j.size()));
        }
        for (std::size_t i = 0; i < id.size(); ++i) {
            id[i] = static_cast<std::uint8_t>(AsInteger(j[i], Element(path, i), 0, 255));
        }
        return id;
    }
    if (!j.is_string()) {
        Fail(path, "expected 4 hex bytes like \"C2 B6 00 03\", found " + Kind(j));
    }
    std::istringstream words(j.get<std::string>());
    std::vector<std::string> bytes;
    for (std::string word; words >> word;) {
        bytes.push_back(word);
    }
    if (bytes.size() != id.size()) {
        Fail(path, "expected 4 bytes, found " + std::to_string(bytes.size()));
    }
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (!ParseHexByte(bytes[i], 2, &id[i])) {
            Fail(path, Quoted(bytes[i]) + " is not a hex byte");
        }
    }
    return id;
}

// Bytes given as hex text ("70 00 86") or as an array of numbers, from `min` to `max` of them.
std::vector<std::uint8_t> AsByteList(const json& j, const std::string& path, std::size_t min,
                                     std::size_t max, const std::string& example) {
    const std::string range = std::to_string(min) + " to " + std::to_string(max) + " bytes";
    std::vector<std::uint8_t> bytes;
    if (j.is_array()) {
        for (std::size_t i = 0; i < j.size(); ++i) {
            bytes.push_back(static_cast<std::uint8_t>(AsInteger(j[i], Element(path, i), 0, 255)));
        }
    } else if (j.is_string()) {
        std::istringstream words(j.get<std::string>());
        for (std::string word; words >> word;) {
            std::uint8_t byte = 0;
            if (!ParseHexByte(word, 2, &byte)) {
                Fail(path, Quoted(word) + " is not a hex byte");
            }
            bytes.push_back(byte);
        }
    } else {
        Fail(path, "expected hex bytes like " + Quoted(example) +
                       " or an array of numbers, found " + Kind(j));
    }
    if (bytes.size() < min || bytes.size() > max) {
        Fail(path, "expected " + range + ", found " + std::to_string(bytes.size()));
    }
    return bytes;
}

sim::Sense AsSense(const json& j, const std::string& path) {
    const std::string text = AsString(j, path);
    const std::string expected = "expected KEY/ASC/ASCQ in hex, like \"5/24/00\"";
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t slash; (slash = text.find('/', start)) != std::string::npos;
         start = slash + 1) {
        parts.push_back(text.substr(start, slash - start));
    }
    parts.push_back(text.substr(start));
    sim::Sense s;
    if (parts.size() != 3 || !ParseHexByte(parts[0], 1, &s.key) ||
        !ParseHexByte(parts[1], 2, &s.asc) || !ParseHexByte(parts[2], 2, &s.ascq)) {
        Fail(path, expected);
    }
    return s;
}

int AsOpcode(const json& j, const std::string& path) {
    if (j.is_number()) {
        return static_cast<int>(AsInteger(j, path, 0, 255));
    }
    const std::string expected =
        "expected an opcode from 0 to 255, hex text like \"0x3B\", or \"any\"";
    if (!j.is_string()) {
        Fail(path, expected);
    }
    const std::string text = j.get<std::string>();
    if (text == "any") {
        return -1;
    }
    std::uint8_t opcode = 0;
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') ||
        !ParseHexByte(text.substr(2), 2, &opcode)) {
        Fail(path, expected);
    }
    return opcode;
}

}  // namespace quiver::simapp::machine_file_values
