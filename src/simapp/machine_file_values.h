// The typed values of a machine file that JSON has no type for (flash identifications, byte
// lists, sense data, opcodes) and its objects' typed member reads, each checked with the path
// of the problem.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "json/json_file.h"
#include "sim/scsi.h"

namespace quiver::simapp::machine_file_values {

std::array<std::uint8_t, 4> AsFlashId(const nlohmann::json& j, const std::string& path);
// Bytes given as hex text ("70 00 86") or as an array of numbers, from `min` to `max` of them.
std::vector<std::uint8_t> AsByteList(const nlohmann::json& j, const std::string& path,
                                     std::size_t min, std::size_t max, const std::string& example);
sim::Sense AsSense(const nlohmann::json& j, const std::string& path);
int AsOpcode(const nlohmann::json& j, const std::string& path);

// An object of the file: typed reads of its members, each defaulting when absent.
class Object : public jsonfile::Object {
  public:
    using jsonfile::Object::Object;

    // An INQUIRY text: printable ASCII of at most `maxLength` characters, or as many bytes of
    // any value given as an array of numbers.
    std::string InquiryText(const char* key, const std::string& fallback,
                            std::size_t maxLength) const {
        const nlohmann::json* value = Find(key);
        if (value != nullptr && value->is_array()) {
            const std::vector<std::uint8_t> bytes = AsByteList(*value, At(key), 0, maxLength, "");
            return std::string(bytes.begin(), bytes.end());
        }
        return Ascii(key, fallback, maxLength);
    }
};

}  // namespace quiver::simapp::machine_file_values
