#include "aac_to_pcm.h"

#include <cstdio>
#include <fstream>

#include "aac_adts.h"

AacToPcm::AacToPcm(uint64_t max_input) : max_input_(max_input) {
    std::printf("AacToPcm() maxParseSize = %d\n", static_cast<int>(max_input));
}

AacToPcm::~AacToPcm() {
    pcm_.clear();
    if (decoder_ != nullptr) NeAACDecClose(decoder_);
}

int AacToPcm::Init() {
    if (decoder_ != nullptr) return 0;
    return OpenDecoder() ? 0 : -1;
}

bool AacToPcm::OpenDecoder() {
    if (decoder_ != nullptr) NeAACDecClose(decoder_);
    decoder_ = NeAACDecOpen();
    if (decoder_ == nullptr) return false;
    NeAACDecConfigurationPtr config = NeAACDecGetCurrentConfiguration(decoder_);
    config->dontUpSampleImplicitSBR = 1;
    config->defSampleRate = 48000;
    config->defObjectType = 5;
    config->outputFormat = FAAD_FMT_16BIT;
    NeAACDecSetConfiguration(decoder_, config);
    return true;
}

int AacToPcm::Feed(const uint8_t* data, int length) {
    if (decoder_ == nullptr || data == nullptr || length <= 0) return -1;
    // Drop what the last parse used up: its frames, and the bytes before the frame still arriving.
    input_.erase(0, incomplete_start_ < input_.size() ? incomplete_start_ : input_.size());
    incomplete_start_ = 0;
    const auto size = static_cast<uint64_t>(length);
    if (input_.size() + size < max_input_) {
        input_.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    } else if (size > max_input_) {
        std::printf("data Size(%d) is too large to contain\n", length);
    } else {
        input_.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    }
    if (Parse().empty()) return -1;
    for (const std::string& frame : frames_) {
        std::string pcm = DecodeFrame(frame);
        if (!pcm.empty()) pcm_.push_back(std::move(pcm));
    }
    return 0;
}

const std::vector<std::string>& AacToPcm::Parse() {
    frames_.clear();
    const auto* bytes = reinterpret_cast<const uint8_t*>(input_.data());
    size_t position = 0;
    // A sync whose length field is shorter than a header does not count as one (adts_find_frame skips it),
    // so the search always moves on and a corrupt length cannot hold it in place.
    for (;;) {
        size_t offset = 0;
        size_t frame_length = 0;
        const AdtsScan scan = adts_find_frame(bytes + position, input_.size() - position, &offset, &frame_length);
        if (scan == AdtsScan::kNone) {
            // Nothing left worth keeping.
            incomplete_start_ = input_.size();
            break;
        }
        if (scan == AdtsScan::kIncomplete) {
            incomplete_start_ = position + offset;
            break;
        }
        frames_.emplace_back(input_, position + offset, frame_length);
        position += offset + frame_length;
        if (position == input_.size()) {
            input_.clear();
            incomplete_start_ = 0;
            break;
        }
    }
    return frames_;
}

std::string AacToPcm::DecodeFrame(const std::string& frame) {
    auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(frame.data()));  // FAAD2 only reads it
    if (initialised_ == 0) {
        unsigned long rate = 0;
        unsigned char channels = 0;
        if (NeAACDecInit(decoder_, bytes, static_cast<unsigned long>(frame.size()), &rate, &channels) < 0 ||
            rate == 0 || channels == 0) {
            // Not initialised: the next frame tries again, on a fresh handle (a failed attempt can leave
            // FAAD2 half set up).
            OpenDecoder();
            return std::string();
        }
        initialised_ = 1;
    }
    NeAACDecFrameInfo info{};
    void* pcm = NeAACDecDecode(decoder_, &info, bytes, static_cast<unsigned long>(frame.size()));
    if (info.error != 0 || pcm == nullptr || info.samples == 0) {
        std::printf("NeAACDecDecode error(%d)\n", info.error);
        return std::string();
    }
    return std::string(static_cast<const char*>(pcm), info.samples * 2);
}

std::string AacToPcm::TakePcm() {
    if (pcm_.empty()) return std::string();
    std::string block = std::move(pcm_.front());
    pcm_.pop_front();
    return block;
}

int aac_to_pcm_file_test(const std::string& folder) {
    std::ifstream in(folder + "/music.aac", std::ios::binary);
    std::ofstream out(folder + "/music.pcm", std::ios::binary | std::ios::app);
    if (!in || !out) return -1;
    AacToPcm converter(102400);
    if (converter.Init() != 0) return -1;
    char piece[1024];
    while (in.read(piece, sizeof(piece)) || in.gcount() > 0) {
        converter.Feed(reinterpret_cast<const uint8_t*>(piece), static_cast<int>(in.gcount()));
        for (std::string pcm = converter.TakePcm(); !pcm.empty(); pcm = converter.TakePcm()) {
            out.write(pcm.data(), static_cast<std::streamsize>(pcm.size()));
        }
    }
    return 0;
}
