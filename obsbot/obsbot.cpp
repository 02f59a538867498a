#include "obsbot.h"

#include <fcntl.h>
#include <linux/input.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "camera_status.h"
#include "fixed_path.h"
#include "input_event_io.h"
#include "pause.h"
#include "v4l2_io.h"

namespace {

// Names the remotes report; only these are read.
const char* const kRemoteNames[] = {"NYFZ USB DONGLE", "ZY.Ltd ZY Control", "CY.Ltd OBSBOT Remote",
                                    "YICHIP Wireless Device"};
// Capability card name of the camera whose commands differ.
const char kMeetCardName[] = "OBSBOT Meet";
// Size of the name buffer of the event-device scan.
constexpr int kRemoteNameSize = 256;

bool is_remote_name(const char* name) {
    for (const char* remote : kRemoteNames)
        if (strcmp(name, remote) == 0) return true;
    return false;
}

}  // namespace

ObsBot::ObsBot(const std::string& device_path) : device_path_(device_path) {
    if (g_camera_run_status.load(std::memory_order_relaxed) == kCameraRunning) {
        QueryControls();
        PrintControls();
    }
    FillSlots();
    selected_parameter_.store(kBrightness, std::memory_order_relaxed);
    clear_camera_status();
    Start(1);
}

ObsBot::~ObsBot() {
    Stop();
    JoinAll();
    // The reading thread has ended, so no slot starts again; step handlers end after their current step.
    for (ActionSlot& slot : slots_) slot.active.store(0, std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock(handlers_mutex_);
    handlers_done_.wait(lock, [this] { return running_handlers_ == 0; });
}

void ObsBot::FillSlots() {
    static const struct {
        Handler handler;
        int period_ms;
    } kSlots[kSlotCount] = {
        {&ObsBot::TiltStop, 0},           {&ObsBot::TiltUp, 40},
        {&ObsBot::TiltDown, 40},          {&ObsBot::PanStop, 0},
        {&ObsBot::PanLeft, 60},           {&ObsBot::PanRight, 60},
        {&ObsBot::ZoomStop, 0},           {&ObsBot::ZoomIn, 70},
        {&ObsBot::ZoomOut, 70},           {&ObsBot::ToggleSetting, 0},
        {&ObsBot::FixedCommand, 0},       {&ObsBot::WakeSleep, 0},
        {&ObsBot::RecallPreset, 0},       {nullptr, 0},
        {&ObsBot::MeetFirst, 0},          {&ObsBot::MeetModeCycle, 0},
        {&ObsBot::MeetToggle, 0},         {&ObsBot::MeetWakeSleep, 0},
        {&ObsBot::MeetCycle, 0},          {&ObsBot::Home, 0},
        {nullptr, 0},                     {&ObsBot::BrightnessUp, 100},
        {&ObsBot::BrightnessDown, 100},   {&ObsBot::ContrastUp, 100},
        {&ObsBot::ContrastDown, 100},     {&ObsBot::SharpnessUp, 100},
        {&ObsBot::SharpnessDown, 100},    {&ObsBot::SaturationUp, 100},
        {&ObsBot::SaturationDown, 100},   {&ObsBot::HueUp, 100},
        {&ObsBot::HueDown, 100},          {&ObsBot::WhiteBalanceUp, 100},
        {&ObsBot::WhiteBalanceDown, 100}, {&ObsBot::WhiteBalanceAutoOn, 100},
        {&ObsBot::GammaUp, 100},          {&ObsBot::GammaDown, 100},
        {&ObsBot::ExposureUp, 100},       {&ObsBot::ExposureDown, 100},
        {&ObsBot::ExposureModeZero, 200}, {&ObsBot::ResetImageControls, 50},
    };
    for (int i = 0; i < kSlotCount; ++i) {
        slots_[i].handler = kSlots[i].handler;
        slots_[i].period_ms = kSlots[i].period_ms;
        slots_[i].active.store(0, std::memory_order_relaxed);
    }
}

int ObsBot::running_handlers() {
    std::lock_guard<std::mutex> lock(handlers_mutex_);
    return running_handlers_;
}

void ObsBot::QueryCapabilities() {
    V4l2Io& io = v4l2_io();
    v4l2_capability cap{};
    const int fd = io.open(device_path_.c_str(), O_RDWR | O_NONBLOCK);
    if (fd >= 0) {
        if (io.ioctl(fd, VIDIOC_QUERYCAP, &cap) == -1) memset(&cap, 0, sizeof(cap));
        io.close(fd);
    }
    // The driver's texts are fixed-size fields; cut them so an unterminated one cannot be read past.
    cap.driver[sizeof(cap.driver) - 1] = 0;
    cap.card[sizeof(cap.card) - 1] = 0;
    cap.bus_info[sizeof(cap.bus_info) - 1] = 0;
    printf("Driver Name:%s\nCard Name:%s\nBus info:%s\nDriver Version:%u.%u.%u\n", cap.driver, cap.card,
           cap.bus_info, (cap.version >> 16) & 0xFF, (cap.version >> 8) & 0xFF, cap.version & 0xFF);
    is_meet_.store(strstr(reinterpret_cast<const char*>(cap.card), kMeetCardName) != nullptr,
                   std::memory_order_relaxed);
}

void ObsBot::ReadStatus() {
    if (is_meet())
        ReadMeetStatus();
    else
        ReadCameraStatus();
}

int ObsBot::Run() {
    last_action_.store(kNoAction, std::memory_order_relaxed);
    QueryCapabilities();
    if (!is_meet()) ReadCameraStatus();

    int no_remote_passes = 0;
    std::vector<Remote> remotes;
    while (running.load(std::memory_order_relaxed) == 1) {
        if (!ScanRemotes(&remotes)) {
            pause_ms(kNoRemotePauseMs);
            if (++no_remote_passes % kStatusScanPasses == 0) ReadStatus();
            continue;
        }
        if (remotes.empty()) {
            printf("no found usb input device!!\n");
            pause_ms(kReopenPauseMs);
            continue;
        }
        ReadRemotes(&remotes);
    }
    CloseRemotes(&remotes, false);
    printf("ObsBotsvc normal stop!\n");
    return 0;
}

bool ObsBot::ScanRemotes(std::vector<Remote>* found) {
    InputEventIo& io = input_event_io();
    found->clear();
    std::vector<Remote> matched;
    unsigned mask = 0;
    for (int n = 0; n < kRemoteScanCount; ++n) {
        const std::string path = fixed_path("/dev/input/event" + std::to_string(n));
        const int fd = io.open(path.c_str(), O_RDONLY);
        if (fd < 0) continue;
        int version = 0;
        char name[kRemoteNameSize] = {};
        unsigned long types[(EV_MAX + 1 + 8 * sizeof(unsigned long) - 1) / (8 * sizeof(unsigned long))] = {};
        io.ioctl(fd, EVIOCGVERSION, &version);
        io.ioctl(fd, EVIOCGNAME(sizeof(name) - 1), name);
        io.ioctl(fd, EVIOCGBIT(0, sizeof(types)), types);
        io.close(fd);
        if (!is_remote_name(name)) continue;
        mask |= 1u << n;
        Remote remote;
        remote.path = path;
        remote.name = name;
        matched.push_back(remote);
    }
    if (matched.empty()) return false;
    printf("\n find valid device num=%d,flg=0x%x!!\n", static_cast<int>(matched.size()), mask);
    for (Remote& remote : matched) {
        remote.fd = io.open(remote.path.c_str(), O_RDWR | O_NONBLOCK);
        if (remote.fd < 0) continue;
        printf("%s: open, fd = %d\n", remote.path.c_str(), remote.fd);
        found->push_back(remote);
    }
    return true;
}

void ObsBot::CloseRemotes(std::vector<Remote>* remotes, bool report) {
    InputEventIo& io = input_event_io();
    for (Remote& remote : *remotes) {
        io.close(remote.fd);
        if (report) printf("%s disconnect!!!\n", remote.path.c_str());
    }
    remotes->clear();
}

void ObsBot::ReadRemotes(std::vector<Remote>* remotes) {
    InputEventIo& io = input_event_io();
    const int count = static_cast<int>(remotes->size());
    int idle_turns = 0;
    while (running.load(std::memory_order_relaxed) == 1) {
        for (int i = 0; i < count && running.load(std::memory_order_relaxed) == 1; ++i) {
            Remote& remote = (*remotes)[i];
            input_event event{};
            const ssize_t n = io.read(remote.fd, &event, sizeof(event));
            if (n != static_cast<ssize_t>(sizeof(event))) {
                if (!io.exists(remote.path.c_str())) {
                    CloseRemotes(remotes, true);
                    return;
                }
                if (i == count - 1) {
                    pause_ms(kIdleTurnMs / count);
                    if (++idle_turns >= kStatusIdleTurns * count) {
                        idle_turns = 0;
                        ReadStatus();
                    }
                }
                continue;
            }
            idle_turns = 0;
            if (event.type == EV_MSC && event.code == MSC_SCAN) {
                remote.armed = true;
            } else if (event.type == EV_KEY && remote.armed) {
                // Press and release both dispatch: a move runs from press to release.
                remote.armed = false;
                Dispatch(remote, event.code);
            }
        }
    }
}

void ObsBot::Dispatch(const Remote& remote, int code) {
    if (remote.name == "NYFZ USB DONGLE") {
        if (is_meet())
            HandleKeyNyfzMeet(code);
        else
            HandleKeyNyfz(code);
    } else if (remote.name == "ZY.Ltd ZY Control") {
        HandleKeyZy(code);
    } else if (remote.name == "CY.Ltd OBSBOT Remote") {
        HandleKeyCy(code);
    } else if (remote.name == "YICHIP Wireless Device") {
        HandleKeyYichip(code);
    }
}

void ObsBot::RunHandler(int slot) {
    // Taken into a local first: GCC's bounds check misreads the index inside a member-pointer call.
    const Handler handler = slots_[slot].handler;
    if (handler != nullptr) (this->*handler)();
}

void ObsBot::HandleKeyRow(const KeyRow* rows, size_t count, int code) {
    const KeyRow* row = nullptr;
    for (size_t i = 0; i < count && row == nullptr; ++i)
        if (rows[i].code == code) row = &rows[i];
    if (row == nullptr) return;
    const int last = last_action_.load(std::memory_order_relaxed);
    if (row->move) {
        if (last == row->slot) {
            RunHandler(row->stop_slot);
            last_action_.store(kNoAction, std::memory_order_relaxed);
        } else {
            RunHandler(row->slot);
            last_action_.store(row->slot, std::memory_order_relaxed);
        }
        return;
    }
    if (last == row->slot) {
        last_action_.store(kNoAction, std::memory_order_relaxed);
        return;
    }
    if (row->preset != 0) {
        preset_number_.store(row->preset, std::memory_order_relaxed);
        printf("%s\n", row->label);
    }
    RunHandler(row->slot);
    last_action_.store(row->slot, std::memory_order_relaxed);
}

namespace {

using Row = ObsBot::KeyRow;
constexpr Row move(int code, int slot, int stop) { return Row{code, true, slot, stop, 0, nullptr}; }
constexpr Row shot(int code, int slot) { return Row{code, false, slot, 0, 0, nullptr}; }
constexpr Row preset(int code, int slot, int number, const char* label) {
    return Row{code, false, slot, 0, number, label};
}

const Row kNyfzKeys[] = {
    preset(KEY_1, 12, 2, "KEY_1"), preset(KEY_2, 12, 3, "KEY_2"), preset(KEY_3, 12, 4, "KEY_3"),
    move(KEY_W, 1, 0),             shot(KEY_R, 10),               shot(KEY_T, 9),
    move(KEY_I, 7, 6),             move(KEY_O, 8, 6),             move(KEY_A, 4, 3),
    move(KEY_S, 2, 0),             move(KEY_D, 5, 3),             shot(KEY_L, 11),
};
const Row kNyfzMeetKeys[] = {
    preset(KEY_6, 16, 4, "KEY_3"), preset(KEY_7, 15, 3, "KEY_2"), preset(KEY_8, 14, 2, "KEY_1"),
    shot(KEY_9, 18),               shot(KEY_0, 19),               shot(KEY_T, 17),
    move(KEY_F, 7, 6),             move(KEY_H, 8, 6),             move(KEY_UP, 1, 0),
    move(KEY_LEFT, 4, 3),          move(KEY_RIGHT, 5, 3),         move(KEY_DOWN, 2, 0),
};
// The ZY and CY remotes differ only in the number keys.
const Row kZyKeys[] = {
    shot(KEY_0, 10),          preset(KEY_Q, 12, 2, "KEY_1"), preset(KEY_E, 12, 3, "KEY_2"),
    preset(KEY_R, 12, 4, "KEY_3"), shot(KEY_T, 11),          move(KEY_F, 7, 6),
    move(KEY_H, 8, 6),        shot(KEY_L, 9),                move(KEY_UP, 1, 0),
    move(KEY_LEFT, 4, 3),     move(KEY_RIGHT, 5, 3),         move(KEY_DOWN, 2, 0),
};
const Row kCyKeys[] = {
    preset(KEY_1, 12, 2, "KEY_1"), preset(KEY_2, 12, 3, "KEY_2"), preset(KEY_3, 12, 4, "KEY_3"),
    shot(KEY_0, 10),          preset(KEY_Q, 12, 2, "KEY_1"), preset(KEY_E, 12, 3, "KEY_2"),
    preset(KEY_R, 12, 4, "KEY_3"), shot(KEY_T, 11),          move(KEY_F, 7, 6),
    move(KEY_H, 8, 6),        shot(KEY_L, 9),                move(KEY_UP, 1, 0),
    move(KEY_LEFT, 4, 3),     move(KEY_RIGHT, 5, 3),         move(KEY_DOWN, 2, 0),
};

template <size_t N>
constexpr size_t count_of(const Row (&)[N]) {
    return N;
}

}  // namespace

void ObsBot::HandleKeyNyfz(int code) {
    HandleKeyRow(kNyfzKeys, count_of(kNyfzKeys), code);
}

void ObsBot::HandleKeyNyfzMeet(int code) {
    HandleKeyRow(kNyfzMeetKeys, count_of(kNyfzMeetKeys), code);
}

void ObsBot::HandleKeyZy(int code) {
    HandleKeyRow(kZyKeys, count_of(kZyKeys), code);
}

void ObsBot::HandleKeyCy(int code) {
    HandleKeyRow(kCyKeys, count_of(kCyKeys), code);
}

void ObsBot::HandleKeyYichip(int code) {
    printf("YICHIP key_value=%d,0x%x\n", code, static_cast<unsigned>(code));
    const int slot = YichipKeyToSlot(code);
    if (slot == kNoAction) return;
    TriggerAction(slot, slot != last_action_.load(std::memory_order_relaxed));
}

int ObsBot::YichipKeyToSlot(int code) {
    switch (code) {
    case KEY_ESC: return 33;
    case KEY_ENTER: return 38;
    case KEY_POWER: return 39;
    case KEY_LEFT: return YichipStepSlot(GetSelectedParameter(), false);
    case KEY_RIGHT: return YichipStepSlot(GetSelectedParameter(), true);
    case KEY_MUTE: SetSelectedParameter(kBrightness); break;
    case KEY_BACKSPACE: SetSelectedParameter(kContrast); break;
    case KEY_HOMEPAGE: SetSelectedParameter(kSaturation); break;
    case KEY_DELETE: SetSelectedParameter(kHue); break;
    case KEY_BACK: SetSelectedParameter(kSharpness); break;
    case KEY_VOLUMEDOWN: SetSelectedParameter(kWhiteBalanceTemperature); break;
    case KEY_COMPOSE: SetSelectedParameter(kGamma); break;
    case KEY_VOLUMEUP: SetSelectedParameter(kExposureAbsolute); break;
    default: break;
    }
    return kNoAction;
}

int ObsBot::YichipStepSlot(int parameter, bool up) const {
    switch (parameter) {
    case kBrightness: return up ? 21 : 22;
    case kContrast: return up ? 23 : 24;
    case kSaturation: return up ? 27 : 28;
    case kHue: return up ? 29 : 30;
    case kSharpness: return up ? 25 : 26;
    case kWhiteBalanceAuto: return 33;
    case kWhiteBalanceTemperature: return up ? 31 : 32;
    case kGamma: return up ? 34 : 35;
    case kExposureAbsolute: return up ? 36 : 37;
    default: return kNoAction;
    }
}

void ObsBot::TriggerAction(int slot, bool start) {
    if (slot < 0 || slot >= kSlotCount) return;
    ActionSlot& action = slots_[slot];
    if (!start) {
        action.active.store(0, std::memory_order_relaxed);
        last_action_.store(kNoAction, std::memory_order_relaxed);
        return;
    }
    action.active.store(1, std::memory_order_relaxed);
    last_action_.store(slot, std::memory_order_relaxed);
    if (action.handler == nullptr) {
        action.active.store(0, std::memory_order_relaxed);
        return;
    }
    if (slot == 39) {
        RunHandler(slot);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(handlers_mutex_);
        ++running_handlers_;
    }
    try {
        std::thread thread(&ObsBot::HandlerThread, this, slot);
        action.thread = thread.get_id();
        thread.detach();
    } catch (const std::system_error& error) {
        printf("ObsBot: handler thread of slot %d not started: %s\n", slot, error.what());
        action.active.store(0, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(handlers_mutex_);
        --running_handlers_;
        handlers_done_.notify_all();
    }
}

void ObsBot::HandlerThread(int slot) {
    RunHandler(slot);
    // Notified under the lock: the destructor cannot return (and free the lock) before this unlocks.
    std::lock_guard<std::mutex> lock(handlers_mutex_);
    --running_handlers_;
    handlers_done_.notify_all();
}
