// The audio road between the sound sources and the two sinks: the audio control thread takes one block
// per pass from the selected source (3 = USB camera microphone, 4 = network-stream audio), brings
// microphone blocks to 48000 Hz stereo S16, applies the output volume and hands the same bytes to the
// HDMI output player and to the encoder PCM vector, from which the audio encode thread takes its blocks.
#pragma once

#include <cstdint>

// Audio channel ids.
constexpr int kAudioChannelHdmiIn = 1;
constexpr int kAudioChannelMic = 2;
constexpr int kAudioChannelUvc = 3;
constexpr int kAudioChannelNetwork = 4;

// Output form of everything that leaves the audio road.
constexpr int kAudioOutChannels = 2;
constexpr int kAudioOutRate = 48000;
constexpr int kAudioOutFormat = 0;

// A network backlog above this many blocks after a take is dropped whole.
constexpr int32_t kNetPcmBacklogBlocks = 100;
constexpr int kNetPassSleepMs = 20;
constexpr int kCapturePassSleepUs = 100;

// Creates the audio objects once (detection, capture channels 1, 3, 2 disabled, the network-stream
// object, player 1 enabled) and starts the control thread; a second call returns 1 at once.
int wrenlet_audio_ctrl_all_cap_and_play_init();
// Stops the thread and releases what init made (the network-stream object stays).
void wrenlet_audio_ctrl_all_cap_and_play_uninit();
int audio_ctrl_thread_start();
void audio_ctrl_thread_stop();

// Source, volume and encoder hand-over.
void audio_ctrl_set_source(int id);
int audio_ctrl_get_source();
int audio_ctrl_set_output_volume(int index);  // 1..37 stored; returns the current index
int audio_ctrl_get_output_volume();
int audio_ctrl_channel_present(int id);
uint32_t audio_ctrl_encode_pcm_size();
int audio_ctrl_pop_encode_pcm(uint8_t* buffer, int n);
void audio_ctrl_clear_encode_pcm();
void audio_ctrl_push_encode_pcm(const uint8_t* buffer, int n);

// Channels.
uint32_t audio_ctrl_channel_pcm_size(int id);
int audio_ctrl_pop_channel_pcm(int id, uint8_t* buffer, int n);
void audio_ctrl_clear_channel_pcm(int id);
void audio_ctrl_set_channel_enable(int id, int flag);
int audio_ctrl_channel_enabled(int id);
int audio_ctrl_set_channel_volume(int id, int index);
int audio_ctrl_get_channel_volume(int id);
int wrenlet_audio_capture_dev_get_channel(int id);
int audio_ctrl_channel_format(int id);
int audio_ctrl_channel_rate(int id);
int audio_ctrl_player_present(int player);

// Output form queries.
int audio_ctrl_out_channels();
int audio_ctrl_out_rate();
int audio_ctrl_out_format();
int audio_ctrl_settings_channels();
int audio_ctrl_settings_rate();
int audio_ctrl_settings_format();

// Mixing of channels 1 to 3 (off unless set; never while the network source is selected).
int audio_ctrl_set_mix(uint8_t use1, uint8_t use3, uint8_t use2, float w1, float w2, float w3);
int audio_ctrl_get_mix(int id);
float audio_ctrl_get_mix_weight(int id);
void audio_ctrl_mix_off();

// Plays the USB microphone straight to the players (a test path of the device; nothing starts it).
int audio_ctrl_loopback_start();
void audio_ctrl_loopback_stop();
