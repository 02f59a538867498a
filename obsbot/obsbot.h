// The remote-key controller: serves one USB video camera (by its device path) and up to three USB remotes
// on "/dev/input/event0" to "/dev/input/event2", found by their device names. Each key is mapped, through
// the key map of the remote that sent it, to an action slot whose handler moves the camera, steps an image
// control while the key is held, or sends a command to the camera's extension unit. The reading thread also
// reads the camera's status now and then, which drives the camera poller.
//
// Handlers of the first four remote models run inline in the reading thread. The "YICHIP Wireless Device"
// steps its image controls on threads of their own; the destructor stops them and waits for every one to
// end before the controller goes away.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_control.h"
#include "task_base.h"

class ObsBot : public TaskBase {
public:
    static constexpr int kSlotCount = 40;
    // The last-action value that means none.
    static constexpr int kNoAction = 40;
    // Input event devices scanned for remotes: event0 to event(kRemoteScanCount - 1).
    static constexpr int kRemoteScanCount = 3;
    // Pause between scans while no remote is found; every kStatusScanPasses-th such pass reads the status.
    static constexpr int kNoRemotePauseMs = 1000;
    static constexpr int kStatusScanPasses = 3;
    // Pause before scanning again when the remotes found cannot be opened for reading.
    static constexpr int kReopenPauseMs = 50;
    // Idle pause of one turn over n remotes is kIdleTurnMs / n; the status is read after
    // kStatusIdleTurns * n idle turns (about 2 s).
    static constexpr int kIdleTurnMs = 20;
    static constexpr int kStatusIdleTurns = 100;

    using Handler = int (ObsBot::*)();
    struct ActionSlot {
        // The handler thread last started for the slot.
        std::thread::id thread;
        // A repeating handler runs while it is set.
        std::atomic<uint8_t> active{0};
        Handler handler = nullptr;
        int period_ms = 0;
    };

    // Copies the path; queries the camera's controls when the status word says the camera runs; clears the
    // camera status record; starts the reading thread.
    explicit ObsBot(const std::string& device_path);
    // Stops and joins the reading thread, then stops the handler threads and waits until all have ended.
    ~ObsBot() override;

    int Run() override;

    // Key maps, one per remote model; each takes one key code.
    void HandleKeyNyfz(int code);
    void HandleKeyNyfzMeet(int code);
    void HandleKeyZy(int code);
    void HandleKeyCy(int code);
    void HandleKeyYichip(int code);
    int YichipKeyToSlot(int code);
    int YichipStepSlot(int parameter, bool up) const;
    void SetSelectedParameter(int parameter) { selected_parameter_.store(parameter, std::memory_order_relaxed); }
    int GetSelectedParameter() const { return selected_parameter_.load(std::memory_order_relaxed); }
    // Held-key dispatch: start sets the slot active and runs its handler (slot 39 inline, any other on a
    // thread of its own); stop clears the slot's active flag.
    void TriggerAction(int slot, bool start);

    // Camera controls.
    void QueryControls();
    int PrintControls();
    int GetControlValue(int index, int* out, bool percent);
    int SetControlValue(int index, int value, bool percent);

    // Extension unit: status reads and view presets.
    void ReadCameraStatus();
    void ReadMeetStatus();
    int SaveView();
    int ApplyView(int view);

    const std::string& device_path() const { return device_path_; }
    bool is_meet() const { return is_meet_.load(std::memory_order_relaxed); }
    int last_action() const { return last_action_.load(std::memory_order_relaxed); }
    int view() const { return view_.load(std::memory_order_relaxed); }
    int preset_number() const { return preset_number_.load(std::memory_order_relaxed); }
    const CameraControl& control(int index) const { return controls_[index]; }
    bool slot_active(int slot) const { return slots_[slot].active.load(std::memory_order_relaxed) != 0; }
    // Handler threads started and not yet ended.
    int running_handlers();

    // One row of a key map of the first four remote models.
    struct KeyRow {
        int code;
        // A move toggles between its slot and its axis's stop slot; a one-shot acts once per press.
        bool move;
        int slot;
        int stop_slot;
        // Preset number stored before the handler runs (0: none) and the label printed with it.
        int preset;
        const char* label;
    };

private:
    struct Remote {
        int fd = -1;
        std::string path;
        std::string name;
        // Set by a scan-code event; the next key event of this remote dispatches and disarms it.
        bool armed = false;
    };

    void FillSlots();
    void QueryCapabilities();
    void ReadStatus();
    bool ScanRemotes(std::vector<Remote>* found);
    void ReadRemotes(std::vector<Remote>* remotes);
    void CloseRemotes(std::vector<Remote>* remotes, bool report);
    void Dispatch(const Remote& remote, int code);
    void HandleKeyRow(const KeyRow* rows, size_t count, int code);
    void RunHandler(int slot);
    void HandlerThread(int slot);

    // The control at index for the access by index; nullptr (with the reason printed) when the index is
    // outside the table or the control is invalid.
    CameraControl* AccessibleControl(int index);
    // Camera controls (slots 0 to 8, 19, 21 to 39).
    int SetSpeed(uint32_t id, int value, int move_slot);
    int TiltStop();
    int TiltUp();
    int TiltDown();
    int PanStop();
    int PanLeft();
    int PanRight();
    int ZoomStop();
    int ZoomIn();
    int ZoomOut();
    int Home();
    int StepControl(int slot, int index, bool up, const char* command);
    int BrightnessUp();
    int BrightnessDown();
    int ContrastUp();
    int ContrastDown();
    int SharpnessUp();
    int SharpnessDown();
    int SaturationUp();
    int SaturationDown();
    int HueUp();
    int HueDown();
    int WhiteBalanceUp();
    int WhiteBalanceDown();
    int WhiteBalanceAutoOn();
    int GammaUp();
    int GammaDown();
    int ExposureUp();
    int ExposureDown();
    int ExposureModeZero();
    int ResetImageControls();
    void WhiteBalanceAutoOff(int fd);
    void ManualExposure(int fd);

    // Extension-unit commands (slots 9 to 12, 14 to 18).
    int ToggleSetting();
    int FixedCommand();
    int WakeSleep();
    int RecallPreset();
    int MeetFirst();
    int MeetModeCycle();
    int MeetToggle();
    int MeetWakeSleep();
    int MeetCycle();

    const std::string device_path_;
    std::atomic<uint8_t> view_{0};
    CameraControl controls_[kCameraControlCount];
    std::atomic<int32_t> last_action_{kNoAction};
    std::atomic<int32_t> selected_parameter_{kBrightness};
    std::atomic<int32_t> preset_number_{0};
    ActionSlot slots_[kSlotCount];
    std::atomic<bool> is_meet_{false};

    // Handler threads started and not yet ended; the destructor waits for none.
    std::mutex handlers_mutex_;
    std::condition_variable handlers_done_;
    int running_handlers_ = 0;
};
