// The history of updates on Windows: %ProgramData%\Quiver\history.jsonl, each line pushed to
// the disk with the C runtime's commit (FlushFileBuffers).
#pragma once

#include <string>

#include "platform/history_store.h"

namespace quiver {

class Win32HistoryStore : public FileHistoryStore {
  public:
    Win32HistoryStore() : FileHistoryStore(DefaultPath()) {}

    static std::string DefaultPath();

  protected:
    bool FlushToDisk(std::FILE* file) override;
};

}  // namespace quiver
