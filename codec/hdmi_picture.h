// Shows one decoded picture on the HDMI output, the way every on-air input does it: when the output is
// ready, take a buffer of the output size, convert the picture into it as RGB (same size: colour
// conversion; else scaled), draw the "ETH:<address> " overlay while address_overlay_budget lasts and the
// no-input screen is not used up (display_flga), and commit it. Without a free buffer the frame is dropped
// for the display only.
#pragma once

#include <cstdint>

// src_fourcc is "NV12", "NV16" or "YUYV". Returns true when the picture was committed.
bool hdmi_show_picture(const uint8_t* data, int width, int height, const char* src_fourcc);
