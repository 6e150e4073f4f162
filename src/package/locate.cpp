#include "package/locate.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "package/block_keys.h"
#include "package/package_layout.h"

namespace quiver::pack {

namespace {

// True when [offset, offset + length) lies inside a file of `size` bytes, without overflow.
bool Fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

// Bounds-checked reads of little- or big-endian numbers; a read outside the file fails the
// reader, and every later read answers 0.
class Reader {
  public:
    Reader(std::span<const std::uint8_t> data, bool big_endian)
        : data_(data), big_endian_(big_endian) {}

    bool ok() const { return ok_; }
    std::uint64_t U16(std::uint64_t at) { return Read(at, 2); }
    std::uint64_t U32(std::uint64_t at) { return Read(at, 4); }
    std::uint64_t U64(std::uint64_t at) { return Read(at, 8); }

  private:
    std::uint64_t Read(std::uint64_t at, int width) {
        if (!ok_ || !Fits(at, width, data_.size())) {
            ok_ = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < width; ++i) {
            const std::uint64_t byte = data_[at + (big_endian_ ? i : width - 1 - i)];
            value = (value << 8) | byte;
        }
        return value;
    }

    std::span<const std::uint8_t> data_;
    bool big_endian_;
    bool ok_ = true;
};

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// What the section table of an executable says about the package section.
struct SectionSearch {
    bool has_table = false;  // the file has a section table that was read
    std::string error;       // the table or the section is unusable
    std::optional<std::uint64_t> offset;
};

// Checks a found section and turns it into the block's offset. `extent` is how many bytes of the
// file the section claims, `size` how many of them it holds for the program.
void TakeSection(SectionSearch& search, std::span<const std::uint8_t> file, std::uint64_t offset,
                 std::uint64_t extent, std::uint64_t size, const char* kind) {
    const std::string section =
        std::string(kind) + " section " + kPackageSection + " at " + Hex(offset);
    if (search.offset.has_value()) {
        search.error = std::string("more than one ") + kind + " section " + kPackageSection;
        return;
    }
    if (!Fits(offset, extent, file.size())) {
        search.error = section + " (" + std::to_string(extent) +
                       " bytes) runs past the end of the file (" + std::to_string(file.size()) +
                       " bytes)";
        return;
    }
    if (size < kPackageSize) {
        search.error = section + " holds " + std::to_string(size) + " bytes, less than a block (" +
                       std::to_string(kPackageSize) + ")";
        return;
    }
    search.offset = offset;
}

SectionSearch SearchElf(std::span<const std::uint8_t> file, bool is64, bool big_endian) {
    SectionSearch search;
    Reader r(file, big_endian);
    const std::uint64_t shoff = is64 ? r.U64(0x28) : r.U32(0x20);
    const std::uint64_t shentsize = r.U16(is64 ? 0x3A : 0x2E);
    std::uint64_t shnum = r.U16(is64 ? 0x3C : 0x30);
    std::uint64_t shstrndx = r.U16(is64 ? 0x3E : 0x32);
    if (!r.ok()) {
        search.error = "the ELF header is cut short";
        return search;
    }
    if (shoff == 0) {
        return search;  // no section table: the markers decide
    }
    search.has_table = true;
    const std::uint64_t min_entsize = is64 ? 64 : 40;
    if (shentsize < min_entsize) {
        search.error = "the ELF section header size is " + std::to_string(shentsize);
        return search;
    }
    auto field = [&](std::uint64_t index, std::uint64_t at64, std::uint64_t at32, bool wide) {
        const std::uint64_t at = shoff + index * shentsize + (is64 ? at64 : at32);
        return wide && is64 ? r.U64(at) : r.U32(at);
    };
    // Extended numbering: the real counts sit in section header 0.
    if (shnum == 0) {
        shnum = field(0, 32, 20, true);
    }
    if (shstrndx == 0xFFFF) {
        shstrndx = field(0, 40, 24, false);
    }
    if (!r.ok() || shnum == 0 || shnum > file.size() / shentsize ||
        !Fits(shoff, shnum * shentsize, file.size())) {
        search.error = "the ELF section headers lie outside the file";
        return search;
    }
    if (shstrndx >= shnum) {
        search.error = "the ELF section name table index is out of range";
        return search;
    }
    const std::uint64_t names_offset = field(shstrndx, 24, 16, true);
    const std::uint64_t names_size = field(shstrndx, 32, 20, true);
    if (!Fits(names_offset, names_size, file.size())) {
        search.error = "the ELF section name table lies outside the file";
        return search;
    }
    const std::string_view names(reinterpret_cast<const char*>(file.data() + names_offset),
                                 names_size);
    const std::string_view wanted(kPackageSection, sizeof kPackageSection);  // with its zero
    for (std::uint64_t i = 0; i < shnum && search.error.empty(); ++i) {
        const std::uint64_t name = r.U32(shoff + i * shentsize);
        if (name >= names.size() || names.substr(name, wanted.size()) != wanted) {
            continue;
        }
        constexpr std::uint64_t kNoBits = 8;
        if (r.U32(shoff + i * shentsize + 4) == kNoBits) {
            search.error = std::string("ELF section ") + kPackageSection + " has no file data";
            return search;
        }
        const std::uint64_t size = field(i, 32, 20, true);
        TakeSection(search, file, field(i, 24, 16, true), size, size, "ELF");
    }
    if (!r.ok()) {
        search.error = "the ELF section headers lie outside the file";
    }
    return search;
}

struct PeHeaders {
    std::uint64_t optional = 0;  // file offset of the optional header
    bool plus = false;           // PE32+
    std::uint64_t sections = 0;  // file offset of the section table
    std::uint64_t section_count = 0;
    std::uint64_t symbols = 0;  // COFF symbol table, for long section names
    std::uint64_t symbol_count = 0;
};

std::optional<PeHeaders> ReadPeHeaders(std::span<const std::uint8_t> file) {
    Reader r(file, false);
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
        return std::nullopt;
    }
    const std::uint64_t pe = r.U32(0x3C);
    if (!Fits(pe, 24, file.size()) || std::memcmp(file.data() + pe, "PE\0\0", 4) != 0) {
        return std::nullopt;
    }
    PeHeaders h;
    h.section_count = r.U16(pe + 6);
    h.symbols = r.U32(pe + 12);
    h.symbol_count = r.U32(pe + 16);
    const std::uint64_t optional_size = r.U16(pe + 20);
    h.optional = pe + 24;
    const std::uint64_t magic = r.U16(h.optional);
    if (!r.ok() || (magic != 0x10B && magic != 0x20B)) {
        return std::nullopt;
    }
    h.plus = magic == 0x20B;
    h.sections = h.optional + optional_size;
    return h;
}

SectionSearch SearchPe(std::span<const std::uint8_t> file, const PeHeaders& h) {
    SectionSearch search;
    search.has_table = true;
    constexpr std::uint64_t kSectionHeader = 40;
    if (!Fits(h.sections, h.section_count * kSectionHeader, file.size())) {
        search.error = "the PE section table lies outside the file";
        return search;
    }
    Reader r(file, false);
    const std::uint64_t strings = h.symbols + h.symbol_count * 18;
    for (std::uint64_t i = 0; i < h.section_count && search.error.empty(); ++i) {
        const std::uint64_t at = h.sections + i * kSectionHeader;
        const char* raw = reinterpret_cast<const char*>(file.data() + at);
        std::string name(raw, strnlen(raw, 8));
        if (name.size() > 1 && name[0] == '/' && h.symbols != 0) {
            // A long name: "/n" names offset n of the COFF string table.
            const std::uint64_t n = std::strtoull(name.c_str() + 1, nullptr, 10);
            name.clear();
            for (std::uint64_t p = strings + n; p < file.size() && file[p] != 0; ++p) {
                name.push_back(static_cast<char>(file[p]));
            }
        }
        if (name != kPackageSection) {
            continue;
        }
        const std::uint64_t virtual_size = r.U32(at + 8);
        const std::uint64_t raw_size = r.U32(at + 16);
        const std::uint64_t raw_offset = r.U32(at + 20);
        // Bytes past the virtual size are not loaded; a virtual size of 0 means the raw size.
        const std::uint64_t size = virtual_size != 0 ? std::min(virtual_size, raw_size) : raw_size;
        TakeSection(search, file, raw_offset, raw_size, size, "PE");
    }
    return search;
}

// Every offset at which the file holds a block by its markers.
std::vector<std::size_t> SearchMarkers(std::span<const std::uint8_t> file) {
    std::vector<std::size_t> found;
    const std::string_view marker(kConstraintsMarker, sizeof kConstraintsMarker);  // with zero
    const std::boyer_moore_horspool_searcher searcher(marker.begin(), marker.end());
    const char* begin = reinterpret_cast<const char*>(file.data());
    const char* end = begin + file.size();
    for (const char* at = begin;;) {
        at = std::search(at, end, searcher);
        if (at == end) {
            break;
        }
        const std::size_t hit = static_cast<std::size_t>(at - begin);
        if (hit >= kConstraintsMarkerOffset &&
            Fits(hit - kConstraintsMarkerOffset, kPackageSize, file.size()) &&
            HasBlockMarkers(file.data() + hit - kConstraintsMarkerOffset)) {
            found.push_back(hit - kConstraintsMarkerOffset);
        }
        ++at;
    }
    return found;
}

bool KeyAt(const std::uint8_t* block, std::size_t offset, std::string_view key) {
    return std::memcmp(block + offset, key.data(), key.size()) == 0 &&
           block[offset + key.size()] == '=';
}

}  // namespace

bool HasBlockMarkers(const std::uint8_t* block) {
    if (std::memcmp(block + kConstraintsMarkerOffset, kConstraintsMarker,
                    sizeof kConstraintsMarker) != 0) {
        return false;
    }
    for (const FlagKey& key : kFlagKeys) {
        if (!KeyAt(block, key.offset, key.name)) {
            return false;
        }
    }
    for (int bank = 1; bank <= kPackageBanks; ++bank) {
        const std::string digit(1, static_cast<char>('0' + bank));
        if (!KeyAt(block, BinStartOffset(bank), "BIN_START" + digit) ||
            !KeyAt(block, BinSizeOffset(bank), "BIN_SIZE" + digit) ||
            !KeyAt(block, NewFwOffset(bank), "NEW_FW" + digit)) {
            return false;
        }
    }
    return true;
}

const char* FormatName(FileFormat format) {
    switch (format) {
        case FileFormat::Elf32:
            return "ELF32";
        case FileFormat::Elf64:
            return "ELF64";
        case FileFormat::Pe32:
            return "PE32";
        case FileFormat::Pe32Plus:
            return "PE32+";
        case FileFormat::Other:
            break;
    }
    return "file";
}

LocateResult LocateBlock(std::span<const std::uint8_t> file) {
    LocateResult result;
    FileFormat format = FileFormat::Other;
    SectionSearch search;
    if (file.size() >= 16 && std::memcmp(file.data(),
                                         "\x7F"
                                         "ELF",
                                         4) == 0) {
        const std::uint8_t elf_class = file[4];
        const std::uint8_t data = file[5];
        if ((elf_class != 1 && elf_class != 2) || (data != 1 && data != 2)) {
            result.error = "unknown ELF class or byte order";
            return result;
        }
        format = elf_class == 2 ? FileFormat::Elf64 : FileFormat::Elf32;
        search = SearchElf(file, elf_class == 2, data == 2);
    } else if (const std::optional<PeHeaders> pe = ReadPeHeaders(file)) {
        format = pe->plus ? FileFormat::Pe32Plus : FileFormat::Pe32;
        search = SearchPe(file, *pe);
    }
    if (!search.error.empty()) {
        result.error = search.error;
        return result;
    }
    if (search.offset.has_value()) {
        const std::size_t offset = static_cast<std::size_t>(*search.offset);
        if (!HasBlockMarkers(file.data() + offset)) {
            result.error = std::string(FormatName(format)) + " section " + kPackageSection +
                           " does not hold a package block (its marker texts are missing)";
            return result;
        }
        result.location = BlockLocation{offset, format, true,
                                        std::string(FormatName(format)) + " section " +
                                            kPackageSection + " at file offset " + Hex(offset)};
        return result;
    }
    const std::vector<std::size_t> found = SearchMarkers(file);
    if (found.empty()) {
        result.error = "no package block: no section " + std::string(kPackageSection) +
                       " and no marker texts at their offsets";
        return result;
    }
    if (found.size() > 1) {
        result.error = "more than one package block (at " + Hex(found[0]) + " and " +
                       Hex(found[1]) + "); refusing to choose";
        return result;
    }
    result.location = BlockLocation{
        found[0], format, false,
        "marker texts at file offset " + Hex(found[0]) +
            (format == FileFormat::Other ? std::string()
                                         : std::string(" (the ") + FormatName(format) +
                                               " file has no section " + kPackageSection + ")")};
    return result;
}

void UpdatePeChecksum(std::span<std::uint8_t> file) {
    const std::optional<PeHeaders> h = ReadPeHeaders(file);
    if (!h.has_value() || !Fits(h->optional + 64, 4, file.size())) {
        return;
    }
    const std::uint64_t field = h->optional + 64;
    Reader r(file, false);
    if (r.U32(field) == 0) {
        return;
    }
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < file.size(); i += 2) {
        if (i == field || i == field + 2) {
            continue;
        }
        const std::uint64_t word = file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    const std::uint32_t checksum = static_cast<std::uint32_t>(sum + file.size());
    for (int i = 0; i < 4; ++i) {
        file[field + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
    }
}

bool PeIsSigned(std::span<const std::uint8_t> file) {
    const std::optional<PeHeaders> h = ReadPeHeaders(file);
    if (!h.has_value()) {
        return false;
    }
    Reader r(file, false);
    const std::uint64_t count = r.U32(h->optional + (h->plus ? 108 : 92));
    constexpr std::uint64_t kSecurity = 4;
    const std::uint64_t entry = h->optional + (h->plus ? 112 : 96) + kSecurity * 8;
    return r.ok() && count > kSecurity && r.U32(entry + 4) != 0 && r.ok();
}

}  // namespace quiver::pack
