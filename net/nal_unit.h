// Finding NAL units in an Annex-B byte stream (units separated by 00 00 01 or 00 00 00 01 start codes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace mnet {

struct NalUnit {
    const uint8_t* data;
    size_t size;
};

// The first byte and the last byte of the first NAL unit in the buffer, or two null pointers. The kind of
// the first start code (three or four bytes) decides which start code ends the unit.
std::pair<const uint8_t*, const uint8_t*> FindNalUnit(const uint8_t* data, size_t size);

// True when the buffer begins with a start code (00 00 01 or 00 00 00 01).
bool StartsWithStartCode(const uint8_t* data, size_t size);

// Every NAL unit of an access unit, start codes removed and trailing zero bytes (the leading zero of a
// four-byte start code, trailing_zero_8bits) trimmed. Bytes before the first start code are skipped; empty
// units are left out. A buffer that does not begin with a start code is one unit as it stands.
std::vector<NalUnit> SplitNalUnits(const uint8_t* data, size_t size);

}  // namespace mnet
