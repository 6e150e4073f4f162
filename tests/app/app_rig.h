// A bench for the main window: the emulated PC of the drive tests, the headless toolkit on top
// of it, and a package block of the test's own with a valid image of the emulated drive.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/frm_quiver.h"
#include "drive_rig.h"
#include "formats/firmware_image.h"
#include "host/window_thread_queue.h"
#include "package/package_layout.h"
#include "package_helpers.h"
#include "ui/headless/headless.h"

// The slot of a header field, as offset and size, for TestPackage::Put.
#define QUIVER_SLOT(field) \
    offsetof(::quiver::PackageHeader, field), sizeof(::quiver::PackageHeader::field)

namespace quiver::apptest {

using ui::headless::EventKind;
using ui::headless::HeadlessApplication;
using ui::headless::HeadlessLabel;
using ui::headless::UiEvent;

constexpr std::uint32_t kMiB = 1u << 20;
constexpr char kSuccess[] = "Firmware has been updated successfully !";
constexpr char kFailure[] = "Unable to flash firmware. Please contact with your vendor !";

// The built-in package with a 1 MiB image of the emulated drive (revision QM0F) at the start of
// its image area, so that bank 1 admits KMR-730Ts from QM01 to QM0F. The notice is off unless a
// test turns it on, REBOOT stays as built in (1).
class TestPackage {
  public:
    TestPackage() : block_(testing::CopyOfEmbeddedPackage()) {
        const std::vector<std::uint8_t> image = sim::MakeFirmwareImage("QM0F", kMiB);
        std::memcpy(block_.data() + kImageAreaOffset, image.data(), image.size());
        Put(QUIVER_SLOT(warning), "WARNING=0");
    }

    // Zeroes the slot and writes the text at its start.
    TestPackage& Put(std::size_t offset, std::size_t size, std::string_view text) {
        testing::PutSlot(block_, offset, size, text);
        return *this;
    }

    std::vector<std::uint8_t> ImageOfBank1() const {
        return std::vector<std::uint8_t>(block_.begin() + kImageAreaOffset,
                                         block_.begin() + kImageAreaOffset + kMiB);
    }

    std::vector<std::uint8_t>& bytes() { return block_; }
    const std::uint8_t* data() const { return block_.data(); }

  private:
    std::vector<std::uint8_t> block_;
};

// A one-shot gate between a drive's command observer (a worker's thread) and the test. Waits are
// bounded in real time, so that a test that goes wrong fails instead of hanging.
class Gate {
  public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    bool Wait(std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

// True for the command that programs the drive's flash (WRITE BUFFER of length 0 whose control
// byte asks for programming).
inline bool IsProgramCommand(const sim::LoggedCommand& c) {
    return c.cdb[0] == 0x3B && c.length == 0 && (c.cdb[9] & 0x80) != 0;
}

class AppRig : public rig::DriveRig {
  protected:
    AppRig() {
        app_ = std::make_unique<HeadlessApplication>();
        app_->SetIdleTimeout(std::chrono::milliseconds(30));
        app_->SetDialogAnswerer([this](const ui::headless::DialogRequest& request) {
            if (answer_) {
                return answer_(request);
            }
            return request.buttons == ui::DialogButtons::YesNo ? ui::DialogResult::Yes
                                                               : ui::DialogResult::Ok;
        });
    }

    ~AppRig() override {
        // Workers of a test that went wrong still report to the window: let them end first.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (window_ && window_->RunningWorkers() > 0 &&
               std::chrono::steady_clock::now() < deadline) {
            WindowThreadQueue::WaitForPending(std::chrono::milliseconds(20));
            WindowThreadQueue::ProcessPending();
        }
        for (std::size_t i = 0; i < machine_.DriveCount(); ++i) {
            machine_.drive(i).SetCommandObserver({});
        }
        window_.reset();
        WindowThreadQueue::ProcessPending();
        app_.reset();
    }

    // A KMR-730T at letter E: + n, target n, with the given revision.
    int AddKmr(int n, const std::string& revision = "QM01", bool medium = false) {
        sim::DriveConfig config = rig::Kmr730t(medium);
        config.revision = revision;
        return AddOptical(static_cast<char>('E' + n), config, 0, static_cast<std::uint8_t>(n));
    }
    int AddOther(int n) {
        return AddOptical(static_cast<char>('E' + n),
                          rig::OtherDrive("Other   ", "CD-RW DRIVE 52X "), 0,
                          static_cast<std::uint8_t>(n));
    }

    TQuiverMain::Options Options() {
        TQuiverMain::Options options;
        options.package = package_.data();
        options.makeDevice = makeDevice_;
        options.guards = guards_;
        return options;
    }

    // Builds the window (start-up runs) and shows it unless start-up ended the program.
    void Open() {
        window_ = std::make_unique<TQuiverMain>(*app_, Options());
        if (!app_->Terminated()) {
            window_->form().Show();
        }
    }

    // Builds the window and runs the loop until the program ends (start-up failed, an update
    // ended it, or the window stayed idle with nothing left to do).
    void OpenAndRun() {
        Open();
        app_->Run();
    }

    // What the user does once the window is idle.
    void Then(std::function<void()> action) { app_->QueueUserAction(std::move(action)); }
    void ClickUpdate() {
        Then([this] { window_->cmdUpdate.UserClick(); });
    }

    HeadlessLabel& Label(const std::string& name) {
        HeadlessLabel* label = app_->Find<HeadlessLabel>(name);
        if (label == nullptr) {
            throw std::logic_error("no label " + name);
        }
        return *label;
    }

    bool Happened(EventKind kind) const { return !app_->Events(kind).empty(); }

    std::vector<std::string> DialogTexts() const {
        std::vector<std::string> out;
        for (const UiEvent& e : app_->Events(EventKind::Dialog)) {
            out.push_back(e.text);
        }
        return out;
    }

    std::size_t CountDialogs(const std::string& text) const {
        const std::vector<std::string> texts = DialogTexts();
        return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
    }

    // The texts lblMsg showed and the dialogs that came, in the order they came.
    std::vector<std::string> StatusAndDialogs() const {
        std::vector<std::string> out;
        for (const UiEvent& e : app_->Log()) {
            if (e.kind == EventKind::LabelText && e.control == "lblMsg") {
                out.push_back(e.text);
            } else if (e.kind == EventKind::Dialog) {
                out.push_back("[" + e.text + "]");
            }
        }
        return out;
    }

    // Every value an event of `kind` on `control` carried, first value only.
    std::vector<int> Values(EventKind kind, const std::string& control) const {
        std::vector<int> out;
        for (const UiEvent& e : app_->Events(kind)) {
            if (e.control == control && !e.values.empty()) {
                out.push_back(e.values[0]);
            }
        }
        return out;
    }

    std::size_t Writes(int driveIndex) { return CountSent(0x3B, driveIndex); }

    TestPackage package_;
    std::function<std::unique_ptr<AtapiDevice>(bool scan)> makeDevice_;
    std::shared_ptr<FlashGuards> guards_;  // null: the window's default
    std::function<ui::DialogResult(const ui::headless::DialogRequest&)> answer_;
    std::unique_ptr<HeadlessApplication> app_;
    std::unique_ptr<TQuiverMain> window_;
};

}  // namespace quiver::apptest
