// Reads a program's resources the way Windows does, for the tests of quiver.exe's resources:
//
//   resource_reader PROGRAM EXPECTATION...
//
// Prints the program's application manifest and every string of its version information
// (GetFileVersionInfo, VerQueryValue), then checks each EXPECTATION:
//
//   KEY=VALUE         the version string KEY reads VALUE (blanks that pad it to its size aside)
//   manifest~TEXT     the manifest holds TEXT
//
// and exits 0 when all of them hold, 1 otherwise. A Unix path is taken as one on Wine's Z:
// drive.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

std::string WindowsPath(std::string path) {
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::string Manifest(const std::string& path) {
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return "";
    }
    std::string text;
    // Resource type 24 (RT_MANIFEST), name 1: the manifest a program is started with.
    if (HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24))) {
        if (HGLOBAL loaded = LoadResource(module, found)) {
            text.assign(static_cast<const char*>(LockResource(loaded)),
                        SizeofResource(module, found));
        }
    }
    FreeLibrary(module);
    return text;
}

std::map<std::string, std::string> VersionStrings(const std::string& path) {
    std::map<std::string, std::string> strings;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<char> data(size);
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, data.data())) {
        return strings;
    }
    for (const char* key : {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                            "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion",
                            "PackageTitle", "DriveName", "FirmwareVersion"}) {
        char* value = nullptr;
        UINT length = 0;
        const std::string query = std::string("\\StringFileInfo\\040904B0\\") + key;
        if (VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
            value != nullptr) {
            std::string text(value);
            text.erase(text.find_last_not_of(' ') + 1);
            strings[key] = text;
        }
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) &&
        fixed != nullptr) {
        char version[64];
        std::snprintf(version, sizeof version, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                      LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                      LOWORD(fixed->dwFileVersionLS));
        strings["(fixed file version)"] = version;
    }
    return strings;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: resource_reader PROGRAM [KEY=VALUE | manifest~TEXT]...\n");
        return 2;
    }
    const std::string path = WindowsPath(argv[1]);
    const std::string manifest = Manifest(path);
    const std::map<std::string, std::string> strings = VersionStrings(path);
    std::printf("manifest:\n%s\n", manifest.c_str());
    for (const auto& [key, value] : strings) {
        std::printf("%s: \"%s\"\n", key.c_str(), value.c_str());
    }
    int failed = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string expectation = argv[i];
        bool holds = false;
        if (expectation.rfind("manifest~", 0) == 0) {
            holds = manifest.find(expectation.substr(9)) != std::string::npos;
        } else if (const std::size_t equals = expectation.find('='); equals != std::string::npos) {
            const auto found = strings.find(expectation.substr(0, equals));
            holds = found != strings.end() && found->second == expectation.substr(equals + 1);
        }
        if (!holds) {
            std::printf("NOT SO: %s\n", expectation.c_str());
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}
