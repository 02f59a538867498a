// AAC decoder of the "ip1" network-stream audio over FAAD2: one AAC packet in, 16-bit interleaved PCM out,
// at the stream's own rate and channel count (read them from GetSampleRate/GetChannels after each Decode and
// hand the PCM to audio_net_streamer_push_pcm_s16, which converts it to 48000 Hz stereo).
//
// Raw frames (from MP4, RTMP or RTSP, no ADTS header) need the stream's AudioSpecificConfig (the codec
// extradata, or adts_audio_specific_config of a stripped ADTS header): pass it to InitWithConfig after
// Open, else the decoder assumes stereo AAC-LC at the Open default rate and a 44100 Hz stream would play
// fast. Frames with an ADTS header initialise the decoder from their first header.
//
// Use: construct, Open, [InitWithConfig], Decode per packet, Close, delete. One thread per instance.
#pragma once

#include <cstdint>
#include <vector>

#include <neaacdec.h>

// PCM of one decoded frame is at most this many bytes: 2048 samples (SBR) x 8 channels x 2 bytes. Give
// Decode at least this much room.
constexpr int kAacMaxPcmFrameBytes = 2048 * 8 * 2;
// A packet larger than this is refused without decoding (the largest ADTS frame).
constexpr int kAacMaxPacketBytes = 8191;

class AAC2PCM {
public:
    // State of the last Probe.
    static constexpr uint32_t kStateOpened = 0;
    static constexpr uint32_t kStateNoFrame = 1;
    static constexpr uint32_t kStateFrame = 2;

    AAC2PCM() = default;
    // Does not close the decoder: call Close first (the destructor only frees what Close was not called for).
    virtual ~AAC2PCM();

    // Opens FAAD2 with the default object type and rate used when no header or config says otherwise
    // (the "ip1" thread passes 5 and 48000), 16-bit output, no implicit-SBR upsampling. 0, or -1 when FAAD2
    // cannot be opened.
    int Open(int default_object_type, unsigned long default_sample_rate);
    // Initialises the decoder from the stream's AudioSpecificConfig; the next Decode then skips the
    // header-based initialisation. Given after packets were decoded, it starts a fresh decoder. The config
    // is kept and used again when the decoder has to start afresh. 0, or -1 (decoder not open,
    // config refused: the decoder is back in its Open state).
    int InitWithConfig(const uint8_t* config, int length);
    // 0; closes FAAD2 (nothing when not open).
    int Close();
    // Decodes one packet into out (out_capacity bytes, at least kAacMaxPcmFrameBytes for every frame to
    // fit). 0 with *out_length PCM bytes (never 0: an empty result is not handed on); -1 with no PCM: empty or
    // oversized packet, a packet that starts like ADTS but whose header is invalid (FAAD2 must never see one: it can
    // crash on them), decoder error (logged with FAAD2's text), a frame that gave no samples (the decoder's first frame
    // does that), or PCM larger than out_capacity (logged, dropped).
    int Decode(const uint8_t* data, int length, uint8_t* out, int out_capacity, int* out_length);

    // Copies the first ADTS frame of data into the instance's scratch buffer: state kStateFrame and 0, or
    // kStateNoFrame and -1.
    int Probe(const uint8_t* data, int length);
    uint32_t GetState() const { return state_; }
    void SetState(uint32_t state) { state_ = state; }
    // In state kStateFrame only: decodes every ADTS frame of data from the start (initialising the decoder
    // from the first header when no Decode or config did), each one's PCM written to
    // the start of out (the last frame's PCM stays, *out_length its bytes). 0 when all went, -1 on an error
    // or in another state.
    int DecodeAll(const uint8_t* data, int length, uint8_t* out, int out_capacity, int* out_length);

    // Rate and channels of the PCM the last Decode gave (of the initialisation before the first PCM).
    unsigned long GetSampleRate() const { return sample_rate_; }
    uint8_t GetChannels() const { return channels_; }
    bool IsInitialised() const { return initialised_ != 0; }
    const NeAACDecFrameInfo& GetFrameInfo() const { return frame_info_; }

private:
    // A fresh FAAD2 handle with the Open configuration; false when FAAD2 cannot be opened.
    bool OpenDecoder();
    // The first-packet initialisation; false when the packet must not reach FAAD2.
    bool InitFromPacket(const uint8_t* data, int length);
    // A decode error before the first PCM since initialisation starts the decoder afresh: FAAD2 takes the
    // stream's layout from the first packet it decodes and would refuse the real stream after garbage.
    void OnDecodeError();

    int default_object_type_ = 5;
    unsigned long default_sample_rate_ = 48000;
    unsigned long sample_rate_ = 48000;
    uint8_t channels_ = 2;
    NeAACDecHandle decoder_ = nullptr;
    NeAACDecFrameInfo frame_info_{};
    uint32_t state_ = kStateOpened;
    uint8_t initialised_ = 0;
    std::vector<uint8_t> probe_frame_;  // the frame the last Probe found
    std::vector<uint8_t> config_;       // the stream's AudioSpecificConfig, once given
    bool decoded_since_init_ = false;
};
