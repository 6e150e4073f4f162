// The history of updates on Linux: /var/lib/quiver/history.jsonl for root, otherwise
// $XDG_STATE_HOME/quiver/history.jsonl ($HOME/.local/state when XDG_STATE_HOME is unset or not
// an absolute path). Each line is pushed to the disk with fsync.
#pragma once

#include <string>

#include "platform/history_store.h"

namespace quiver {

class LinuxHistoryStore : public FileHistoryStore {
  public:
    LinuxHistoryStore() : FileHistoryStore(DefaultPath()) {}
    explicit LinuxHistoryStore(std::string path) : FileHistoryStore(std::move(path)) {}

    // Where this user's updates are kept.
    static std::string DefaultPath();

  protected:
    bool FlushToDisk(std::FILE* file) override;
};

}  // namespace quiver
