#include "pcm_to_aac.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <vector>

PcmToAac::PcmToAac(uint32_t pcm_limit, uint32_t queue_limit) : pcm_limit_(pcm_limit), queue_limit_(queue_limit) {
    std::printf("PcmToAac() m_PcmMaxSize=%u m_AacMaxQueueSize=%u\n", pcm_limit, queue_limit);
}

PcmToAac::~PcmToAac() {
    std::printf("~PcmToAac()\n");
    frames_.clear();
    if (handle_ != nullptr) faacEncClose(handle_);
    delete[] output_;
}

int PcmToAac::Init(uint8_t channels, unsigned sample_rate, int bits_per_sample) {
    // The encoder is set to 16-bit input below; another sample size would be read wrongly.
    if (handle_ != nullptr || bits_per_sample != 16) {
        std::printf("faac enc open failed\n");
        return -1;
    }
    bits_per_sample_ = static_cast<uint32_t>(bits_per_sample);
    unsigned long input_samples = 0;
    unsigned long max_output = 0;
    handle_ = faacEncOpen(sample_rate, channels, &input_samples, &max_output);
    if (handle_ == nullptr) {
        std::printf("faac enc open failed\n");
        return -1;
    }
    input_samples_ = input_samples;
    max_output_bytes_ = max_output;
    frame_bytes_ = static_cast<uint32_t>(input_samples_ * bits_per_sample_ / 8);
    output_ = new (std::nothrow) unsigned char[max_output_bytes_];
    config_ = faacEncGetCurrentConfiguration(handle_);
    if (output_ == nullptr || config_ == nullptr) return -1;
    config_->inputFormat = kFaacInput16Bit;
    config_->outputFormat = kFaacOutputRaw;
    config_->useTns = 0;
    config_->useLfe = 0;
    config_->aacObjectType = kFaacObjectLow;
    config_->mpegVersion = kFaacMpeg2;
    faacEncSetConfiguration(handle_, config_);
    return 0;
}

int PcmToAac::Encode(const uint8_t* data, int length) {
    if (handle_ == nullptr || output_ == nullptr || data == nullptr || length < 0) return -1;
    if (pcm_.size() + static_cast<size_t>(length) > pcm_limit_) {
        std::printf("Input pcm data is too large\n");
        return -1;
    }
    pcm_.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    if (frames_.size() > queue_limit_) {
        std::printf("Aac queue is full\n");
        return -1;
    }
    std::vector<int32_t> frame((frame_bytes_ + 3) / 4);  // aligned copy of one frame
    size_t used = 0;
    while (pcm_.size() - used >= frame_bytes_) {
        std::memcpy(frame.data(), pcm_.data() + used, frame_bytes_);
        std::memset(output_, 0, max_output_bytes_);
        const int bytes = faacEncEncode(handle_, frame.data(), static_cast<unsigned>(input_samples_), output_,
                                        static_cast<unsigned>(max_output_bytes_));
        if (bytes > 0) frames_.emplace_back(reinterpret_cast<const char*>(output_), static_cast<size_t>(bytes));
        used += frame_bytes_;
    }
    pcm_.erase(0, used);
    return 0;
}

std::string PcmToAac::TakeFrame() {
    if (frames_.empty()) return std::string();
    std::string frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
}

int pcm_to_aac_file_test(const std::string& folder) {
    std::ifstream in(folder + "/mic.pcm", std::ios::binary);
    std::ofstream out(folder + "/mic1.AAC", std::ios::binary | std::ios::app);
    if (!in || !out) return -1;
    PcmToAac converter(1048576, 1024);
    if (converter.Init(2, 48000, 16) != 0) return -1;
    char piece[1024];
    while (in.read(piece, sizeof(piece)) || in.gcount() > 0) {
        converter.Encode(reinterpret_cast<const uint8_t*>(piece), static_cast<int>(in.gcount()));
        for (std::string frame = converter.TakeFrame(); !frame.empty(); frame = converter.TakeFrame()) {
            out.write(frame.data(), static_cast<std::streamsize>(frame.size()));
        }
    }
    return 0;
}
