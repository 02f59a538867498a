// Queries of the camera's UVC extension unit (the driver's UVCIOC_CTRL_QUERY on the video device). Every
// query opens the controller's camera device for itself and closes it again, so handlers on different
// threads never share a descriptor. Payloads are 60 bytes; replies go into a zeroed 255-byte buffer.
#pragma once

#include <cstdint>

class ObsBot;

// Size of every query's payload.
constexpr uint16_t kXuPayloadSize = 60;
// Size of the reply buffers.
constexpr int kXuReplySize = 255;
// Units tried by the unit search: 0 to kXuUnitCount - 1.
constexpr int kXuUnitCount = 255;

// UVC_GET_CUR. False when the device does not open or the query fails.
bool getControl(const ObsBot& bot, uint8_t unit, uint8_t selector, uint16_t size, uint8_t* data);
// UVC_SET_CUR. A failed query prints "setControl <selector> failed" and gives false.
bool setControl(const ObsBot& bot, uint8_t unit, uint8_t selector, uint16_t size, uint8_t* data);

// The first unit (0 to 254) that answers a GET_CUR of probe_selector, with its reply left in reply
// (kXuReplySize bytes); -1 when none answers (reply then zeroed). Nothing is cached: the camera may change.
int find_extension_unit(const ObsBot& bot, uint8_t probe_selector, uint8_t* reply);
