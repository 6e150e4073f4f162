#include "version_strings.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include <nlohmann/json.hpp>

namespace quiver::pack {

namespace {

constexpr std::uint32_t kResourceTypeVersion = 16;  // RT_VERSION
constexpr std::uint32_t kSubdirectory = 0x80000000;
constexpr std::uint32_t kResourceDirectoryIndex = 2;  // in the optional header's data directories
constexpr int kStringTableDepth = 3;  // VS_VERSION_INFO > StringFileInfo > table > String

// Bounds-checked little-endian reads: a read outside the file fails the reader, and every later
// read answers 0.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

    bool ok() const { return ok_; }
    bool Fits(std::uint64_t at, std::uint64_t length) const {
        return at <= data_.size() && length <= data_.size() - at;
    }
    std::uint32_t U16(std::uint64_t at) { return static_cast<std::uint32_t>(Read(at, 2)); }
    std::uint32_t U32(std::uint64_t at) { return static_cast<std::uint32_t>(Read(at, 4)); }

  private:
    std::uint64_t Read(std::uint64_t at, int width) {
        if (!ok_ || !Fits(at, width)) {
            ok_ = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i) {
            value = (value << 8) | data_[at + i];
        }
        return value;
    }

    std::span<const std::uint8_t> data_;
    bool ok_ = true;
};

struct Section {
    std::uint64_t address = 0;  // relative virtual address
    std::uint64_t size = 0;     // bytes of file data
    std::uint64_t offset = 0;   // of the file data
};

// The resource tree of a PE file: where it starts in the file, and the sections that map its
// addresses to file offsets.
struct ResourceTree {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::vector<Section> sections;

    std::optional<std::uint64_t> FileOffset(std::uint64_t address, std::uint64_t length) const {
        for (const Section& s : sections) {
            if (address >= s.address && address - s.address <= s.size &&
                length <= s.size - (address - s.address)) {
                return s.offset + (address - s.address);
            }
        }
        return std::nullopt;
    }
};

// Not a PE file, or one without resources: nothing. A PE file whose headers point outside it:
// `error`.
std::optional<ResourceTree> FindResources(std::span<const std::uint8_t> file, std::string& error) {
    Reader r(file);
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
        return std::nullopt;
    }
    const std::uint64_t pe = r.U32(0x3C);
    if (!r.Fits(pe, 24) || std::memcmp(file.data() + pe, "PE\0\0", 4) != 0) {
        return std::nullopt;
    }
    const std::uint64_t section_count = r.U16(pe + 6);
    const std::uint64_t optional = pe + 24;
    const std::uint64_t optional_size = r.U16(pe + 20);
    const std::uint32_t magic = r.U16(optional);
    if (!r.ok() || (magic != 0x10B && magic != 0x20B)) {
        return std::nullopt;
    }
    const bool plus = magic == 0x20B;
    const std::uint64_t directory_count = r.U32(optional + (plus ? 108 : 92));
    const std::uint64_t directories = optional + (plus ? 112 : 96);
    if (directory_count <= kResourceDirectoryIndex ||
        directories + 8 * (kResourceDirectoryIndex + 1) > optional + optional_size) {
        return std::nullopt;
    }
    const std::uint64_t address = r.U32(directories + 8 * kResourceDirectoryIndex);
    ResourceTree tree;
    tree.size = r.U32(directories + 8 * kResourceDirectoryIndex + 4);
    if (!r.ok()) {
        error = "the PE headers lie outside the file";
        return std::nullopt;
    }
    if (address == 0 || tree.size == 0) {
        return std::nullopt;
    }
    const std::uint64_t table = optional + optional_size;
    if (!r.Fits(table, section_count * 40)) {
        error = "the PE section table lies outside the file";
        return std::nullopt;
    }
    for (std::uint64_t i = 0; i < section_count; ++i) {
        const std::uint64_t at = table + i * 40;
        Section s{r.U32(at + 12), r.U32(at + 16), r.U32(at + 20)};
        const std::uint64_t virtual_size = r.U32(at + 8);
        if (virtual_size != 0) {
            s.size = std::min(s.size, virtual_size);  // bytes past the virtual size are not loaded
        }
        if (r.Fits(s.offset, s.size)) {
            tree.sections.push_back(s);
        }
    }
    const std::optional<std::uint64_t> offset = tree.FileOffset(address, tree.size);
    if (!offset) {
        error = "the resource directory lies outside the file";
        return std::nullopt;
    }
    tree.offset = *offset;
    return tree;
}

// The file offset and size of the first version resource, or nothing when there is none.
std::optional<std::pair<std::uint64_t, std::uint64_t>> FindVersionResource(
    std::span<const std::uint8_t> file, const ResourceTree& tree, std::string& error) {
    Reader r(file);
    // Every directory: its entries, each an ID (or name) and an offset in the tree.
    auto entries = [&](std::uint64_t directory) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        if (directory > tree.size || tree.size - directory < 16) {
            error = "a resource directory lies outside the resources";
            return out;
        }
        const std::uint64_t at = tree.offset + directory;
        const std::uint64_t count = r.U16(at + 12) + r.U16(at + 14);
        if (count * 8 > tree.size - directory - 16) {
            error = "a resource directory runs past the resources";
            return out;
        }
        for (std::uint64_t i = 0; i < count; ++i) {
            out.emplace_back(r.U32(at + 16 + 8 * i), r.U32(at + 20 + 8 * i));
        }
        return out;
    };
    for (const auto& [type, types_at] : entries(0)) {
        if (type != kResourceTypeVersion || (types_at & kSubdirectory) == 0) {
            continue;
        }
        for (const auto& [name, names_at] : entries(types_at & ~kSubdirectory)) {
            if ((names_at & kSubdirectory) == 0) {
                continue;
            }
            for (const auto& [language, data_at] : entries(names_at & ~kSubdirectory)) {
                if ((data_at & kSubdirectory) != 0 || data_at > tree.size ||
                    tree.size - data_at < 16) {
                    continue;
                }
                const std::uint64_t address = r.U32(tree.offset + data_at);
                const std::uint64_t size = r.U32(tree.offset + data_at + 4);
                const std::optional<std::uint64_t> offset = tree.FileOffset(address, size);
                if (!offset) {
                    error = "the version information lies outside the file";
                    return std::nullopt;
                }
                return std::pair{*offset, size};
            }
        }
    }
    return std::nullopt;
}

// One node of the version information: wLength, wValueLength, wType, its key, its value and its
// children, each starting on a 4-byte boundary of the resource.
struct Node {
    std::uint64_t end = 0;
    std::uint32_t value_length = 0;
    std::uint32_t type = 0;  // 1: text, value_length in UTF-16 units
    std::u16string key;
    std::uint64_t value = 0;
    std::uint64_t children = 0;
};

std::optional<Node> ReadNode(Reader& r, std::uint64_t base, std::uint64_t at, std::uint64_t limit) {
    auto align = [base](std::uint64_t p) { return base + ((p - base + 3) & ~std::uint64_t{3}); };
    const std::uint32_t length = r.U16(at);
    if (!r.ok() || length < 6 || length > limit - at) {
        return std::nullopt;
    }
    Node n;
    n.end = at + length;
    n.value_length = r.U16(at + 2);
    n.type = r.U16(at + 4);
    std::uint64_t p = at + 6;
    for (; p + 2 <= n.end; p += 2) {
        const std::uint32_t unit = r.U16(p);
        if (unit == 0) {
            break;
        }
        n.key.push_back(static_cast<char16_t>(unit));
    }
    if (p + 2 > n.end) {
        return std::nullopt;  // no zero ends the key
    }
    n.value = std::min(align(p + 2), n.end);
    const std::uint64_t value_bytes = n.type == 1 ? 2ull * n.value_length : n.value_length;
    n.children = std::min(align(std::min(n.value + value_bytes, n.end)), n.end);
    return n;
}

// The strings under a node, down to the String level.
void CollectStrings(Reader& r, std::uint64_t base, const Node& parent, int depth,
                    VersionStrings& out) {
    for (std::uint64_t at = parent.children; at + 6 <= parent.end;) {
        const std::optional<Node> node = ReadNode(r, base, at, parent.end);
        if (!node) {
            out.error = "the version information is damaged";
            return;
        }
        if (depth == 1 && node->key != u"StringFileInfo") {
            // VarFileInfo, or another kind of block: no strings.
        } else if (depth < kStringTableDepth) {
            CollectStrings(r, base, *node, depth + 1, out);
        } else {
            VersionString s;
            s.key.assign(node->key.begin(), node->key.end());
            s.offset = node->value;
            s.capacity = std::min<std::uint64_t>(node->value_length, (node->end - node->value) / 2);
            for (std::size_t i = 0; i < s.capacity; ++i) {
                const std::uint32_t unit = r.U16(s.offset + 2 * i);
                if (unit == 0) {
                    break;
                }
                s.value.push_back(unit >= 0x20 && unit <= 0x7E ? static_cast<char>(unit) : '?');
            }
            out.strings.push_back(std::move(s));
        }
        at = base + ((node->end - base + 3) & ~std::uint64_t{3});
    }
}

}  // namespace

VersionStrings ReadVersionStrings(std::span<const std::uint8_t> file) {
    VersionStrings out;
    const std::optional<ResourceTree> tree = FindResources(file, out.error);
    if (!tree) {
        return out;
    }
    const auto resource = FindVersionResource(file, *tree, out.error);
    if (!resource) {
        return out;
    }
    Reader r(file);
    const auto [base, size] = *resource;
    const std::optional<Node> root = ReadNode(r, base, base, base + size);
    if (!root || root->key != u"VS_VERSION_INFO") {
        out.error = "the version information is damaged";
        return out;
    }
    CollectStrings(r, base, *root, 1, out);
    if (!out.error.empty()) {
        out.strings.clear();
        return out;
    }
    out.present = true;
    return out;
}

std::vector<std::pair<std::string, std::string>> PackageVersionTexts(const Manifest& manifest) {
    // The caption the updater shows: its title, or, when the package names none, one made from
    // the version.
    const std::string title =
        manifest.title == kUnfilledTitle ? "Quiver " + manifest.version : manifest.title;
    std::vector<std::string> revisions;
    for (const ManifestBank& bank : manifest.banks) {
        if (std::find(revisions.begin(), revisions.end(), bank.new_revision) == revisions.end()) {
            revisions.push_back(bank.new_revision);
        }
    }
    std::string firmware;
    for (const std::string& revision : revisions) {
        firmware += (firmware.empty() ? "" : ", ") + revision;
    }
    return {{"FileDescription", "Firmware " + firmware + " for " + manifest.drive_name},
            {"PackageTitle", title},
            {"DriveName", manifest.drive_name},
            {"FirmwareVersion", firmware}};
}

void WritePackageVersionStrings(std::span<std::uint8_t> file, const Manifest& manifest,
                                Diagnostics& d) {
    const VersionStrings found = ReadVersionStrings(file);
    if (!found.error.empty()) {
        d.Warn("updater", found.error + "; the package's version strings were not written");
        return;
    }
    for (const auto& [key, text] : PackageVersionTexts(manifest)) {
        for (const VersionString& s : found.strings) {
            if (s.key != key || s.capacity == 0) {
                continue;
            }
            const std::size_t length = std::min(text.size(), s.capacity - 1);
            if (length < text.size()) {
                d.Warn("updater", "the version string " + key + " holds " +
                                      std::to_string(s.capacity - 1) + " characters; \"" + text +
                                      "\" was cut");
            }
            for (std::size_t i = 0; i < s.capacity; ++i) {
                const char c = i < length ? text[i] : '\0';
                file[s.offset + 2 * i] = static_cast<std::uint8_t>(c);
                file[s.offset + 2 * i + 1] = 0;
            }
        }
    }
}

nlohmann::ordered_json DescribeVersionStrings(std::span<const std::uint8_t> file) {
    const VersionStrings found = ReadVersionStrings(file);
    if (!found.present) {
        return nullptr;
    }
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const VersionString& s : found.strings) {
        // The unfilled strings are padded with blanks to their fixed size.
        std::string value = s.value;
        value.erase(value.find_last_not_of(' ') + 1);
        out[s.key] = value;
    }
    return out;
}

std::string RenderVersionStrings(const nlohmann::ordered_json& description) {
    if (description.is_null()) {
        return "";
    }
    std::string text = "Version information:\n";
    for (const auto& [key, value] : description.items()) {
        std::string head = "  " + key;
        head.resize(std::max<std::size_t>(head.size() + 1, 19), ' ');
        text += head + "\"" + value.get<std::string>() + "\"\n";
    }
    return text;
}

}  // namespace quiver::pack
