#include "platform/history_store.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace quiver {

bool FileHistoryStore::Append(const std::string& line) {
    std::error_code ignored;
    const std::filesystem::path path(path_);
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), ignored);
    }
    std::FILE* file = std::fopen(path_.c_str(), "ab");
    if (file == nullptr) {
        return false;
    }
    // One buffer as large as the line: the stream hands the whole line to the system at once.
    const std::string whole = line + "\n";
    std::vector<char> buffer(whole.size() + 1);
    std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
    bool written = std::fwrite(whole.data(), 1, whole.size(), file) == whole.size();
    written = std::fflush(file) == 0 && written;
    written = FlushToDisk(file) && written;
    return std::fclose(file) == 0 && written;
}

std::optional<std::string> FileHistoryStore::ReadAll() const {
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string FileHistoryStore::UtcNow() const {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

}  // namespace quiver
