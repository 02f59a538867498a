// Channel slots decide which opened capture device may hand frames on. Slot 0 belongs to HDMI-in 0, slot 1
// to UVC port 0, slot 2 to UVC port 1; a slot holds the port of the device assigned to it, or -1. Every
// capture thread runs the selection on every pass: a free choice falls on the first slot that holds a
// device, and only the selected slot's device reads frames.
#pragma once

#include <atomic>
#include <cstdint>

#include "input_video_dev.h"

constexpr int kChannelSlotCount = 3;
// Pause after a slot is selected, so the newly chosen device's path can settle before frames flow.
constexpr int kChannelSelectSettleMs = 2000;

extern std::atomic<int> pip_channel_index[kChannelSlotCount];
// The slot whose device may hand frames on, or -1.
extern std::atomic<int> selected_channel_index;

// The camera frame path's decode-working flag (1 while its decoder thread runs); while it is 1 no new slot
// is selected. Until a function is installed the flag reads 0; nullptr removes it again.
using DecodeWorkingFunction = int (*)();
void set_uvc_decode_working_function(DecodeWorkingFunction fn);

// The slot a device belongs to: UVC port + 1, or the HDMI-in port.
int channel_slot_of(const InputVideoDevStruct* dev);

void videostreamerctrl_update_selected_channel(InputVideoDevStruct* dev);
void videostreamerctrl_set_which_captrue_channle_to_output(int slot, int port);
void videostreamerctrl_cancel_which_captrue_channle_to_output(int slot);
// The port held in slot; -1 for a slot out of range.
int videostreamerctrl_get_channel_slot(int slot);
// Starts (on != 0) or stops a device's capture output: 1, or -1 for a bad kind or index.
int videostreamerctrl_enable_capture_output(int kind, int index, int on);
// A device's capture-output flag (0 for a bad kind or index); a slot's device's flag.
int videostreamerctrl_get_capture_output(int kind, int index);
int videostreamerctrl_get_channel_output(int slot);
