// What the updater costs the host: one download, a scan, a whole AUTOMODE update of 16 drives,
// the memory of 16 target drive objects, how the workers' spinning pause delays the window
// thread, and how closely the scaled clock keeps to its time. Everything runs on the emulated PC;
// the drives' own time is emulated, so what is measured is our code (and, for the scaled-clock
// cases, the real time it takes).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/frm_quiver.h"
#include "device/atapi_device.h"
#include "flash/firmware_download.h"
#include "formats/firmware_image.h"
#include "host/hi_timer.h"
#include "host/window_thread_queue.h"
#include "package/package_layout.h"
#include "platform/application_tag.h"
#include "platform/sim/sim_platform.h"
#include "sim/machine.h"
#include "simapp/package_file.h"
#include "ui/headless/headless.h"

namespace {

using namespace quiver;

constexpr std::int32_t kMiB = 1 << 20;

// An emulated PC with `drives` KMR-730Ts at E: onwards, installed as the process's platform.
struct Pc {
    explicit Pc(int drives, sim::DriveConfig config = {}) {
        SetApplicationTag(0);
        machine.AddLetter('C', sim::LetterType::Fixed);
        for (int i = 0; i < drives; ++i) {
            machine.AddDrive(config);
            sim::Letter& l =
                machine.AddLetter(static_cast<char>('E' + i), sim::LetterType::CdRom, i);
            l.port = 1;
            l.target = static_cast<std::uint8_t>(i);
        }
    }
    sim::Machine machine;
    SimPlatform os{machine};
    ScopedPlatform scope{os};
};

// The current resident set, in bytes.
std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// --- One 1 MiB download: profile, 64 verified blocks, the program command ---
//
// The clock is virtual with a 1 ms tick, so that the one-second pause before programming (a spin
// on the counter) costs about a thousand counter reads rather than a real second.
void BM_Download1MiB(benchmark::State& state) {
    Pc pc(1);
    pc.machine.clock.SetVirtual(1'000'000);
    const std::vector<std::uint8_t> image = sim::MakeFirmwareImage("QM0F", kMiB);
    AtapiDevice device(true);
    if (!device.SelectDrive(0)) {
        state.SkipWithError("no drive");
        return;
    }
    for (auto _ : state) {
        if (!FirmwareDownload(device).DownloadFirmware(image.data(), kMiB, false)) {
            state.SkipWithError("download failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMiB);
    state.counters["commands"] = static_cast<double>(pc.machine.drive(0).Log().size()) /
                                 static_cast<double>(state.iterations());
}
BENCHMARK(BM_Download1MiB)->Unit(benchmark::kMillisecond);
// Exactly one download, for the instruction count under callgrind (scripts/bench).
BENCHMARK(BM_Download1MiB)->Name("BM_Download1MiB_once")->Iterations(1);

// --- A scan of 16 drives: the drive object made with scan ---
void BM_Scan16(benchmark::State& state) {
    Pc pc(16);
    for (auto _ : state) {
        AtapiDevice device(true);
        if (device.RecordCount() != 16) {
            state.SkipWithError("not every drive found");
            break;
        }
        benchmark::DoNotOptimize(device.Records());
    }
    std::size_t commands = 0;
    for (int i = 0; i < 16; ++i) {
        commands += pc.machine.drive(static_cast<std::size_t>(i)).Log().size();
    }
    state.counters["commands"] =
        static_cast<double>(commands) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Scan16)->Unit(benchmark::kMillisecond);

// --- AUTOMODE: the whole program updating N drives, with a bus and flash model ---
//
// 150 MB/s and 0.5 ms per command, 20 s of programming, every drive on a bus of its own, on a
// clock at real speed or 10 or 100 times faster; the window on the headless toolkit answers
// every dialog. Arguments: drives, speed factor. Wall time in real milliseconds; the emulated
// time is the same span on the drives' clock. At a high speed factor every microsecond the host
// spends (16 workers on the machine's processors, the scans before and after) weighs that many
// times more against the drives' time: real speed is the figure that counts.
void PutSlot(std::vector<std::uint8_t>& block, std::size_t offset, std::size_t size,
             std::string_view text) {
    std::memset(block.data() + offset, 0, size);
    std::memcpy(block.data() + offset, text.data(), std::min(size, text.size()));
}
#define SLOT(field) offsetof(PackageHeader, field), sizeof(PackageHeader::field)

void BM_AutoMode(benchmark::State& state) {
    const int drives = static_cast<int>(state.range(0));
    const double scale = static_cast<double>(state.range(1));
    std::vector<std::uint8_t> package(simapp::DemoPackage(),
                                      simapp::DemoPackage() + simapp::DemoPackageSize());
    PutSlot(package, SLOT(auto_mode), "AUTOMODE=1");
    PutSlot(package, SLOT(reboot), "REBOOT=0");
    PutSlot(package, SLOT(close_ap), "CLOSEAP=1");
    PutSlot(package, SLOT(warning), "WARNING=0");
    sim::DriveConfig config;
    config.bytesPerSecond = 150e6;
    config.secondsPerCommand = 0.0005;
    config.programSeconds = 20.0;
    double emulated = 0.0;
    for (auto _ : state) {
        // Making and dropping the emulated PC (16 drives with 2 MiB buffers each) is the
        // emulator's work, not the program's: left out of the time.
        state.PauseTiming();
        auto pc = std::make_unique<Pc>(drives, config);
        auto app = std::make_unique<ui::headless::HeadlessApplication>();
        app->SetIdleTimeout(std::chrono::milliseconds(30));
        app->SetDialogAnswerer([](const ui::headless::DialogRequest& request) {
            return request.buttons == ui::DialogButtons::YesNo ? ui::DialogResult::Yes
                                                               : ui::DialogResult::Ok;
        });
        TQuiverMain::Options options;
        options.package = package.data();
        pc->machine.clock.SetScaled(scale);
        const double started = pc->machine.clock.NowSeconds();
        state.ResumeTiming();
        {
            TQuiverMain window(*app, options);
            app->Run();
            while (window.RunningWorkers() > 0) {
                WindowThreadQueue::WaitForPending(std::chrono::milliseconds(20));
                WindowThreadQueue::ProcessPending();
            }
        }
        WindowThreadQueue::ProcessPending();
        state.PauseTiming();
        emulated = pc->machine.clock.NowSeconds() - started;
        for (int i = 0; i < drives; ++i) {
            if (pc->machine.drive(static_cast<std::size_t>(i)).ProgramCount() != 1) {
                state.SkipWithError("a drive was not programmed");
            }
        }
        app.reset();
        pc.reset();
        state.ResumeTiming();
    }
    state.counters["drives"] = drives;
    state.counters["emulated_s"] = emulated;
}
BENCHMARK(BM_AutoMode)
    ->ArgNames({"drives", "speed"})
    ->Args({1, 1})
    ->Args({16, 1})
    ->Args({1, 10})
    ->Args({16, 10})
    ->Args({1, 100})
    ->Args({16, 100})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// --- Memory of 16 target drive objects ---
//
// What the objects hold (the object and its two transfer buffers), counted, and the growth of the
// resident set once the buffers are touched.
void BM_TargetObjectsMemory(benchmark::State& state) {
    Pc pc(16);
    AtapiDevice scanner(true);
    double counted = 0.0;
    double resident = 0.0;
    for (auto _ : state) {
        const std::size_t before = ResidentBytes();
        std::vector<std::unique_ptr<AtapiDevice>> targets;
        std::size_t bytes = 0;
        for (int i = 0; i < 16; ++i) {
            auto target = std::make_unique<AtapiDevice>(false);
            target->CopyFrom(scanner);
            target->SelectDrive(i);
            std::memset(target->ReadBufferData(), 1, target->ReadBufferCapacity());
            std::memset(target->WriteBufferData(), 1, target->WriteBufferCapacity());
            bytes +=
                sizeof(AtapiDevice) + target->ReadBufferCapacity() + target->WriteBufferCapacity();
            targets.push_back(std::move(target));
        }
        counted = static_cast<double>(bytes);
        // Freed buffers are reused by the next iteration: the first one shows the growth.
        resident =
            std::max(resident, static_cast<double>(ResidentBytes()) - static_cast<double>(before));
        benchmark::DoNotOptimize(targets.data());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["counted_bytes"] = counted;
    state.counters["rss_growth_bytes"] = resident;
    state.counters["object_bytes"] = static_cast<double>(sizeof(AtapiDevice));
    state.counters["maxrss_bytes"] = static_cast<double>(usage.ru_maxrss) * 1024.0;
}
BENCHMARK(BM_TargetObjectsMemory)->Iterations(5)->Unit(benchmark::kMillisecond);

// --- How closely the scaled clock keeps to its time on this host ---
//
// The tests check only that scaled-clock time never runs short; how far it runs over depends on
// the host and its load, and is measured here. 8000 sleeps of 10 ms at x1000 ask for 80 emulated
// seconds, each for 10 µs of real time, which the system overruns by tens of microseconds.
void BM_ScaledSleepSchedule(benchmark::State& state) {
    sim::Clock clock;
    clock.SetScaled(1000.0);
    double emulated = 0.0;
    for (auto _ : state) {
        const double before = clock.NowSeconds();
        for (int i = 0; i < 8000; ++i) {
            clock.SleepMillis(10);
        }
        emulated = clock.NowSeconds() - before;
    }
    state.counters["emulated_s"] = emulated;
}
BENCHMARK(BM_ScaledSleepSchedule)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// A drive programming an 8 MiB image for 1000 s at x1000: the emulator's work on the command
// (checking the image, tens of seconds at that speed) counts toward the 1000 s; what the
// command takes beyond them is its overrun.
void BM_ScaledProgramOverrun(benchmark::State& state) {
    sim::DriveConfig config;
    config.programSeconds = 1000.0;
    config.bufferBytes = 8u << 20;
    Pc pc(1, config);
    const std::vector<std::uint8_t> image = sim::MakeFirmwareImage("QM0F", 8 * kMiB);
    AtapiDevice device(true);
    if (!device.SelectDrive(0)) {
        state.SkipWithError("no drive");
        return;
    }
    pc.machine.clock.SetScaled(1000.0);
    double overrun = 0.0;
    for (auto _ : state) {
        pc.machine.drive(0).ClearLog();
        if (!FirmwareDownload(device).DownloadFirmware(image.data(), 8 * kMiB, false)) {
            state.SkipWithError("download failed");
            break;
        }
        for (const sim::LoggedCommand& c : pc.machine.drive(0).Log()) {
            if (c.cdb[0] == 0x3B && c.length == 0 && (c.cdb[9] & 0x80) != 0) {
                overrun =
                    static_cast<double>(c.endNanos - c.startNanos) / 1e9 - config.programSeconds;
            }
        }
    }
    state.counters["overrun_s"] = overrun;
}
BENCHMARK(BM_ScaledProgramOverrun)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- The window thread's responsiveness while N workers spin in their one-second pause ---
//
// A window thread serves hand-overs; the benchmark thread hands over an empty function and
// measures the round trip, while N threads each spin in HiTimer::Delay(1.0) on a real-time
// clock, as the workers do right before the program command. Second argument 0: the threads
// spin as the pause did before it yielded between its passes, for comparison.
void SpinWithoutYielding(double seconds) {
    HiTimer timer;
    timer.Start(true);
    while (timer.Elapsed() < seconds) {
        if (ProcessMessagesHook hook = GetProcessMessagesHook()) {
            hook();
        }
    }
    timer.Stop();
}

void BM_HandOverWhileWorkersPause(benchmark::State& state) {
    const int spinners = static_cast<int>(state.range(0));
    const bool yielding = state.range(1) != 0;
    Pc pc(0);
    pc.machine.clock.SetScaled(1.0);
    std::atomic<bool> stop{false};
    std::thread window([&stop] {
        while (!stop.load()) {
            WindowThreadQueue::WaitForPending(std::chrono::milliseconds(5));
            WindowThreadQueue::ProcessPending();
        }
    });
    std::vector<std::thread> workers;
    for (int i = 0; i < spinners; ++i) {
        workers.emplace_back([&stop, yielding] {
            while (!stop.load()) {
                if (yielding) {
                    HiTimer timer;
                    timer.Delay(1.0);
                } else {
                    SpinWithoutYielding(1.0);
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto _ : state) {
        WindowThreadQueue::RunOnWindowThread([] {});
    }
    stop.store(true);
    for (std::thread& t : workers) {
        t.join();
    }
    window.join();
    state.counters["spinning"] = spinners;
}
BENCHMARK(BM_HandOverWhileWorkersPause)
    ->ArgNames({"spinning", "yielding"})
    ->Args({0, 1})
    ->Args({16, 1})
    ->Args({16, 0})
    ->MinTime(2.0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
