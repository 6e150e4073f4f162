#include "platform/linux/linux_history_store.h"

#include <unistd.h>

#include <cstdlib>

namespace quiver {

std::string LinuxHistoryStore::DefaultPath() {
    if (geteuid() == 0) {
        return "/var/lib/quiver/history.jsonl";
    }
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/quiver/history.jsonl";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/state/quiver/history.jsonl";
}

bool LinuxHistoryStore::FlushToDisk(std::FILE* file) {
    return fsync(fileno(file)) == 0;
}

}  // namespace quiver
