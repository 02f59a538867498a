// Feeds arbitrary bytes to the AAC input path of received streams: the ADTS frame search, the buffered
// converter (cut into pieces whose size the first byte picks) and the packet decoder, with or without an
// AudioSpecificConfig taken from the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "aac2pcm.h"
#include "aac_adts.h"
#include "aac_to_pcm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const auto length = static_cast<int>(size > 65536 ? 65536 : size);

    // A frame found is a whole, valid frame inside the input.
    std::vector<uint8_t> frame(kAdtsMaxFrameBytes);
    int frame_length = 0;
    if (aac_get_adts_frame(data, length, frame.data(), kAdtsMaxFrameBytes, &frame_length) == 0) {
        AdtsHeader header;
        if (frame_length > length || !adts_parse_header(frame.data(), static_cast<size_t>(frame_length), &header) ||
            header.frame_length != frame_length) {
            __builtin_trap();
        }
    }

    // The converter: every piece size, never a block larger than a frame can give.
    AacToPcm converter(4096);
    if (converter.Init() == 0) {
        const size_t piece = data[0] % 97 + 1;
        for (size_t at = 0; at < static_cast<size_t>(length); at += piece) {
            const size_t n = std::min(piece, static_cast<size_t>(length) - at);
            converter.Feed(data + at, static_cast<int>(n));
            for (std::string pcm = converter.TakePcm(); !pcm.empty(); pcm = converter.TakePcm()) {
                if (pcm.size() > static_cast<size_t>(kAacMaxPcmFrameBytes)) __builtin_trap();
            }
            if (converter.BufferedBytes() > 4096) __builtin_trap();
        }
    }

    // The packet decoder: bytes 1..2 as the stream's config when byte 0 is odd, then two packets.
    AAC2PCM decoder;
    if (decoder.Open(5, 48000) == 0) {
        if (data[0] & 1) decoder.InitWithConfig(data + 1, 2);
        std::vector<uint8_t> out(kAacMaxPcmFrameBytes);
        const int half = (length - 3) / 2;
        for (const auto& packet :
             {std::make_pair(data + 3, half), std::make_pair(data + 3 + half, length - 3 - half)}) {
            int pcm_length = 0;
            if (decoder.Decode(packet.first, packet.second, out.data(), kAacMaxPcmFrameBytes, &pcm_length) == 0 &&
                (pcm_length <= 0 || pcm_length > kAacMaxPcmFrameBytes)) {
                __builtin_trap();
            }
        }
        decoder.Close();
    }
    return 0;
}
