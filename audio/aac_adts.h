// ADTS, the self-framing form of AAC: a 7-byte header (9 with a CRC) in front of every frame, starting with
// the sync 0xFF 0xFx and carrying the frame length (header included), profile, rate and channel layout.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kAdtsHeaderBytes = 7;
constexpr int kAdtsHeaderBytesWithCrc = 9;
// The 13-bit length field bounds a frame.
constexpr int kAdtsMaxFrameBytes = 8191;

// The fields of one ADTS header.
struct AdtsHeader {
    int mpeg_version = 0;    // 0 MPEG-4, 1 MPEG-2
    bool has_crc = false;    // protection_absent == 0: two CRC bytes follow the 7
    int object_type = 0;     // audio object type (profile + 1): 2 = AAC-LC
    int sampling_index = 0;  // 0..12
    int sample_rate = 0;     // from sampling_index
    int channel_config = 0;  // 0..7
    int frame_length = 0;    // header included
    int header_length = 0;   // 7 or 9
};

// True at an ADTS sync: 0xFF followed by a byte of 0xF0 or more.
bool adts_is_sync(const uint8_t* data, size_t size);
// Parses the header at data. False when fewer than 7 bytes are there, there is no sync, the layer bits are
// not 0, the rate index is reserved, or the frame length is shorter than its own header (a corrupt length
// must never stand for a frame: a scanner that stepped by it would not move). A frame longer than size is
// still parsed (the caller decides whether to wait for more).
bool adts_parse_header(const uint8_t* data, size_t size, AdtsHeader* header);
// The 2-byte AudioSpecificConfig that describes the frames behind this header (object type, rate index,
// channel configuration): what a raw-frame decoder needs once the headers are stripped. Returns 2, or 0
// for a header that cannot be described (object type 0 or above 4).
int adts_audio_specific_config(const AdtsHeader& header, uint8_t config[2]);
// Result of a search for the next frame.
enum class AdtsScan {
    kFound,       // a whole frame at *offset, *frame_length bytes
    kIncomplete,  // a frame starts at *offset but the bytes end inside it (or inside its header)
    kNone,        // no sync in the bytes
};
// Searches data from the start for the first valid ADTS header (see adts_parse_header).
AdtsScan adts_find_frame(const uint8_t* data, size_t size, size_t* offset, size_t* frame_length);

// The rate of a sampling index (0 for a reserved index), and the index of a rate (-1 when it has none).
int adts_sample_rate(int sampling_index);
int adts_sampling_index(int sample_rate);

// Copies the first complete ADTS frame in data into out (out_capacity bytes) and stores its length.
// A sync whose length field is shorter than a header is no frame: the search goes on a byte later.
// 0 with a frame, -1 when there is none, the buffer ends inside the first frame, the frame does not
// fit out, or an argument is null.
int aac_get_adts_frame(const uint8_t* data, int length, uint8_t* out, int out_capacity, int* out_length);
