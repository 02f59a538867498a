// System helpers: the CPU serial number, folders, the vendor storage, CPU counters and pinning, and small
// text and picture conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The serial number of the CPU: the text after ": " on the first "Serial" line of "/proc/cpuinfo", without
// its line end; "" when there is none.
std::string get_cpu_serial();

// Creates the folder when it cannot be opened.
void ensure_directory(const std::string& path);
// Removes every regular file directly inside the folder; subfolders and their contents stay.
void delete_folder_files(const std::string& path);

// A copy of the text without any occurrence of the character.
std::string remove_char(const std::string& text, char c);
// The non-empty pieces between any of the delimiter characters.
std::vector<std::string> split_string(const std::string& text, const std::string& delimiters);
// Two upper-case hexadecimal digits per byte into out (2 * count bytes, no terminator); returns count.
int bytes_to_hex(const uint8_t* bytes, char* out, int count);
// Standard Base64 (RFC 4648, "=" padding) as a new NUL-terminated text the caller frees with free(); null
// when the size would overflow or memory runs out. out_length (optional) receives the text length.
char* base64_encode(const uint8_t* bytes, size_t count, size_t* out_length);
// True when the NAL header after a 4-byte start code is an H.264 slice, IDR slice or SPS (type 1, 5, 7), or
// the H.265 header byte 0x02 (TRAIL_R) or 0x40 (VPS). False for packets shorter than 5 bytes.
bool is_video_nal(const uint8_t* packet, size_t size);

// Vendor storage items of the platform: 1 = serial number (read with length 50), 3 = MAC address (6 bytes).
constexpr int kVendorSerialReadLength = 50;
// Reads the serial number item into out (at most size bytes); the number of bytes copied, or -1 (out
// cleared).
int read_serial_number(char* out, int size);
// Writes the serial number item; length, or -1.
int write_serial_number(const char* text, int length);
// Writes the MAC derived from the serial (as the network set-up derives it) into the MAC item: 0, -1, or the
// failing ioctl result.
int write_mac_address(const std::string& serial);

// The three 16-bit words of the serial-derived MAC: A = V(0), B = V(3), C = V(5), where V(k) sums
// (character - '0') * 10^(5-j) over the six characters from k (index modulo 20; a missing character counts
// as '0').
struct SerialMacWords {
    uint16_t a;
    uint16_t b;
    uint16_t c;
};
SerialMacWords serial_mac_words(const std::string& serial);
// Character i modulo 20 of the serial; '0' where the serial is shorter.
char serial_char(const std::string& serial, int i);

// CPU counters of one "cpuN" line of "/proc/stat".
struct CpuStat {
    char name[16];
    unsigned user;
    unsigned nice;
    unsigned system;
    unsigned idle;
};
// The number of processors listed in "/proc/cpuinfo" (0 when it cannot be read).
int get_cpu_core_count();
// Pins the calling thread to the CPU; a negative number does nothing.
void bind_thread_to_cpu(int cpu);
// Reads the counters of "cpu<cpu>" into out: 1, or 0.
int read_cpu_stat(int cpu, CpuStat* out);
// Busy share of the time between two samples in percent, or -1 for a null sample or no change.
int cpu_busy_percent(const CpuStat* before, const CpuStat* after);
// Pins the calling thread to the less busy of the candidate CPUs.
void bind_to_idle_cpu();

// NV12 to 24-bit colour (B, G, R per pixel as the formulas give it); out holds width * height * 3 bytes.
// Returns height.
int nv12_to_rgb24(const uint8_t* nv12, int width, int height, uint8_t* out);

// The process id printed first by "pgrep LOG_BRISKBOX", or -1 when the command cannot be run.
int find_log_process();
