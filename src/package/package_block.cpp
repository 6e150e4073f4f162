// The firmware package built into the executable, with the contents of the KMR-730T updater.
// The packaging step replaces these bytes in the built file; nothing writes them at run time.
#include "package/package_layout.h"
#include "package/package_slots.h"

namespace quiver {

namespace {

// Copies a text into its slot; a text without room for its terminating zero stops the build.
template <std::size_t N>
constexpr void Put(char (&slot)[N], const char* text) {
    if (!PutSlotText(slot, text)) {
        throw "text does not fit its slot";  // not a constant expression: stops the build
    }
}

constexpr PackageHeader MakeDefaultHeader() {
    PackageHeader h{};
    Put(h.free_text_1, "Quiver package block");
    Put(h.version, "v2.0.4");
    Put(h.free_text_2, "KMR-730T image");
    Put(h.title, "Flash Program for Korvane DVDRW KMR-730T");
    Put(h.date, "2004/02/25");
    Put(h.free_text_3, "N/A");
    Put(h.drive_name, "Korvane DVDRW KMR-730T");
    Put(h.constraints_marker, "FW_CONSTRAINTS=");

    for (int bank = 1; bank <= kPackageBanks; ++bank) {
        for (int entry = 1; entry <= kEntriesPerBank; ++entry) {
            h.constraints[bank - 1][entry - 1] = PlaceholderEntry(bank, entry);
        }
    }
    ConstraintEntry& first = h.constraints[0][0];
    first = ConstraintEntry{};
    Put(first.lowest, "QM01");
    Put(first.highest, "QM0F");
    Put(first.vendor, "Korvane ");
    Put(first.product, "DVDRW KMR-730T  ");
    ConstraintEntry& second = h.constraints[0][1];
    second = ConstraintEntry{};
    Put(second.lowest, "0M03");
    Put(second.highest, "0M03");
    Put(second.vendor, "Korvane ");
    Put(second.product, "DVDRW KMR-730T  ");

    Put(h.n2o_message, "N2OMESSAGE=0");
    Put(h.chk_disc, "CHKDISC=0");
    Put(h.boot_code, "BOOTCODE=1");
    Put(h.reboot, "REBOOT=1");
    Put(h.auto_mode, "AUTOMODE=0");
    Put(h.close_ap, "CLOSEAP=0");
    Put(h.warning, "WARNING=1");
    Put(h.admin, "ADMIN=0");
    Put(h.nb_warning, "NBWARNING=0");
    Put(h.how_many_bin, "HOW_MANY_BIN=1");
    Put(h.bin_start[0], "BIN_START1=0000000000");
    Put(h.bin_start[1], "BIN_START2=0000000000");
    Put(h.bin_start[2], "BIN_START3=0000000000");
    Put(h.bin_start[3], "BIN_START4=0000000000");
    Put(h.bin_size[0], "BIN_SIZE1=0001048576");
    Put(h.bin_size[1], "BIN_SIZE2=0000000000");
    Put(h.bin_size[2], "BIN_SIZE3=0000000000");
    Put(h.bin_size[3], "BIN_SIZE4=0000000000");
    Put(h.new_fw[0], "NEW_FW1=QM0F");
    Put(h.new_fw[1], "NEW_FW2=N/A ");
    Put(h.new_fw[2], "NEW_FW3=N/A ");
    Put(h.new_fw[3], "NEW_FW4=N/A ");
    return h;
}

}  // namespace

// One writable, initialised object in a section of its own: ".qvpkg" on ELF and on PE alike
// (six characters, within the eight a PE section name may have). "used" keeps it in the object
// even where nothing seems to read it. It must stay non-const: a read-only object could be
// folded into the code that reads it, and the packaging step would then change nothing.
__attribute__((section(".qvpkg"), used)) constinit FirmwarePackage g_firmware_package = {
    MakeDefaultHeader(),
    "BANK_START_FROM_HERE",
    0,
};

const std::uint8_t* EmbeddedPackage() {
    const auto* block = reinterpret_cast<const std::uint8_t*>(&g_firmware_package);
    // The compiler sees the initialiser and that nothing in the program writes the block; hide
    // the pointer's origin so that no build (whole-program optimisation included) reads the
    // initialiser instead of the bytes in the file.
    asm("" : "+r"(block));
    return block;
}

}  // namespace quiver
