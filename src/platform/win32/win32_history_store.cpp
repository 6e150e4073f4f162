#include "platform/win32/win32_history_store.h"

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace quiver {

std::string Win32HistoryStore::DefaultPath() {
    char folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA("ProgramData", folder, sizeof folder);
    const std::string base =
        length > 0 && length < sizeof folder ? std::string(folder, length) : "C:\\ProgramData";
    return base + "\\Quiver\\history.jsonl";
}

bool Win32HistoryStore::FlushToDisk(std::FILE* file) {
    return _commit(_fileno(file)) == 0;
}

}  // namespace quiver
