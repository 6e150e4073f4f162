// The Linux guards' inhibitor against a login manager of the test's own: a private session bus
// (dbus-daemon --session) on which the test answers Inhibit as the login manager does, with the
// write end of a pipe, so that the test sees when the updater lets go of the lock. Exits with 77
// (skipped) where no bus can be started.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/linux_flash_guards.h"

extern char** environ;

namespace quiver {
namespace {

std::string g_busAddress;

// The login manager's Inhibit method, on a thread and a connection of its own.
class FakeLoginManager {
  public:
    struct Call {
        std::string what, who, why, mode;
        int readEnd = -1;  // the other end of the descriptor handed out
    };

    FakeLoginManager() {
        thread_ = std::thread([this] { Serve(); });
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!ready_ && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~FakeLoginManager() {
        stop_ = true;
        thread_.join();
        for (const Call& call : calls_) {
            close(call.readEnd);
        }
    }
    bool Ready() const { return ready_; }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

  private:
    static int Inhibit(sd_bus_message* message, void* self, sd_bus_error*) {
        Call call;
        const char* texts[4] = {};
        int r = sd_bus_message_read(message, "ssss", &texts[0], &texts[1], &texts[2], &texts[3]);
        int ends[2] = {-1, -1};
        if (r < 0 || pipe2(ends, O_CLOEXEC) != 0) {
            return r < 0 ? r : -errno;
        }
        call = {texts[0], texts[1], texts[2], texts[3], ends[0]};
        auto* manager = static_cast<FakeLoginManager*>(self);
        {
            std::lock_guard<std::mutex> lock(manager->mutex_);
            manager->calls_.push_back(call);
        }
        r = sd_bus_reply_method_return(message, "h", ends[1]);
        close(ends[1]);  // the reply carries its own copy
        return r;
    }

    void Serve() {
        static const sd_bus_vtable kVtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", Inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, g_busAddress.c_str()) < 0 ||
            sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
            sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", kVtable, this) < 0 ||
            sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0) {
            sd_bus_flush_close_unref(bus);
            return;
        }
        ready_ = true;
        while (!stop_) {
            if (sd_bus_process(bus, nullptr) <= 0) {
                sd_bus_wait(bus, 50'000);
            }
        }
        sd_bus_flush_close_unref(bus);
    }

    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Call> calls_;
};

// Whether the last write end of the pipe has been closed, waiting at most `seconds`.
bool Released(int readEnd, int seconds) {
    pollfd p{readEnd, POLLIN, 0};
    return poll(&p, 1, seconds * 1000) == 1 && (p.revents & POLLHUP) != 0;
}

LinuxFlashGuards::Settings OnBus(const std::string& address) {
    LinuxFlashGuards::Settings settings;
    settings.busAddress = address;
    return settings;
}

TEST(LoginInhibitor, BlocksShutdownAndSleepUntilTheGuardGoes) {
    FakeLoginManager manager;
    ASSERT_TRUE(manager.Ready());
    LinuxFlashGuards guards(nullptr, OnBus(g_busAddress));
    Guarded held = guards.HoldSystem(nullptr, "Flash Program for Korvane DVDRW KMR-730T");
    ASSERT_EQ(held.result, GuardResult::Taken);
    const std::vector<FakeLoginManager::Call> calls = manager.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "shutdown:sleep");
    EXPECT_EQ(calls[0].who, "Flash Program for Korvane DVDRW KMR-730T");
    EXPECT_EQ(calls[0].why, kFlashingReason);
    EXPECT_EQ(calls[0].mode, "block");
    EXPECT_FALSE(Released(calls[0].readEnd, 0));
    held.guard.reset();
    EXPECT_TRUE(Released(calls[0].readEnd, 5));
}

TEST(LoginInhibitor, WithoutALoginManagerTheUpdateGoesOnUnguarded) {
    LinuxFlashGuards noManager(nullptr, OnBus(g_busAddress));
    EXPECT_EQ(noManager.HoldSystem(nullptr, "").result, GuardResult::Unavailable);
    LinuxFlashGuards noBus(nullptr, OnBus("unix:path=/nonexistent/bus"));
    EXPECT_EQ(noBus.HoldSystem(nullptr, "").result, GuardResult::Unavailable);
}

// A session bus of the test's own: its address, read from the daemon, or empty.
std::string StartBus(pid_t* daemon) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>("dbus-daemon"),       const_cast<char*>("--session"),
                    const_cast<char*>("--nofork"),          const_cast<char*>("--nopidfile"),
                    const_cast<char*>("--print-address=1"), nullptr};
    const int spawned = posix_spawnp(daemon, "dbus-daemon", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string address;
    if (spawned == 0) {
        pollfd p{out[0], POLLIN, 0};
        char c = 0;
        while (poll(&p, 1, 10'000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') {
            address.push_back(c);
        }
    }
    close(out[0]);
    return address;
}

}  // namespace
}  // namespace quiver

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    pid_t daemon = -1;
    quiver::g_busAddress = quiver::StartBus(&daemon);
    if (quiver::g_busAddress.empty()) {
        std::printf("skipped: no D-Bus daemon could be started\n");
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            waitpid(daemon, nullptr, 0);
        }
        return 77;
    }
    const int result = RUN_ALL_TESTS();
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    return result;
}
