// The machine's history of updates: a file of JSON lines that only grows. Each line is added
// with one write and flushed to the disk before Append returns, so that a line written before
// the drive is told to program its flash survives a power loss during the programming.
//
// Realisations: FileHistoryStore below, on a file the caller names (the emulated PC's), and
// one per system that knows where the machine keeps it and how to push a file to the disk
// (platform/linux/linux_history_store.h, platform/win32/win32_history_store.h).
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace quiver {

class HistoryStore {
  public:
    virtual ~HistoryStore() = default;
    // Where the history is kept, as the user names it.
    virtual std::string Location() const = 0;
    // Adds `line` (without a line break; one is added) with one write, flushed to the disk.
    // False when the line could not be written whole.
    virtual bool Append(const std::string& line) = 0;
    // The whole history; nothing when there is none yet or it cannot be read.
    virtual std::optional<std::string> ReadAll() const = 0;
    // The current time, UTC, as "YYYY-MM-DDTHH:MM:SS.mmmZ".
    virtual std::string UtcNow() const = 0;
};

// A history in a named file; its folders are made when the first line is added.
class FileHistoryStore : public HistoryStore {
  public:
    explicit FileHistoryStore(std::string path) : path_(std::move(path)) {}

    std::string Location() const override { return path_; }
    bool Append(const std::string& line) override;
    std::optional<std::string> ReadAll() const override;
    std::string UtcNow() const override;

  protected:
    // Pushes what the stream has written to the disk; the stream itself is flushed already.
    virtual bool FlushToDisk(std::FILE* file) {
        (void)file;
        return true;
    }

  private:
    std::string path_;
};

}  // namespace quiver
