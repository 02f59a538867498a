// The NDI device's profile file: the SDK configuration text every create call of the device gets. The file is
// created with the appliance's NDI configuration text when missing (never overwritten), and single items of
// it are read and written. The text lives in a 2048-byte buffer, so a file of 2048 bytes or more is refused.
#pragma once

#include <cstddef>
#include <cstdint>

class NDI_Dev;

constexpr const char* kNdiDevProfilePath = "/tmp/NDI5/ndi5-config.v1.json";
// The profile text buffer: the text and its terminating NUL must fit.
constexpr size_t kNdiDevProfileSize = 2048;
// Longest netmask or netprefix text of the multicast record.
constexpr size_t kNdiDevAddressTextMax = 15;

// Items, by number.
enum NdiDevProfileItem : int {
    kNdiDevItemMachineName = 0,     // "machinename": string
    kNdiDevItemSendMetadata = 1,    // "send"."metadata": string
    kNdiDevItemNetworksIps = 2,     // "networks"."ips": string
    kNdiDevItemDiscovery = 3,       // "networks"."discovery": string
    kNdiDevItemGroupsSend = 4,      // "groups"."send": string
    kNdiDevItemGroupsRecv = 5,      // "groups"."recv": string
    kNdiDevItemAdapters = 6,        // "adapters"."allowed": array of strings, exchanged joined by ","
    kNdiDevItemRudpSend = 7,        // "rudp"."send"."enable": bool
    kNdiDevItemRudpRecv = 8,        // "rudp"."recv"."enable": bool
    kNdiDevItemMulticastSend = 9,   // "multicast"."send": exchanged as NdiDevMulticastRecord
    kNdiDevItemMulticastRecv = 10,  // "multicast"."recv"."enable": bool
    kNdiDevItemTcpSend = 11,        // "tcp"."send"."enable": bool
    kNdiDevItemTcpRecv = 12,        // "tcp"."recv"."enable": bool
    kNdiDevItemUnicastSend = 13,    // "unicast"."send"."enable": bool
    kNdiDevItemUnicastRecv = 14,    // "unicast"."recv"."enable": bool
};
constexpr int kNdiDevItemCount = 15;

// The exchange form of the multicast send item: 40 bytes, texts NUL-terminated inside their fields.
struct NdiDevMulticastRecord {
    int32_t ttl;
    uint8_t enable;
    char netmask[16];
    char netprefix[16];
    uint8_t pad[3];
};
static_assert(sizeof(NdiDevMulticastRecord) == 40, "the multicast record is 40 bytes");

// 1 when the file exists or was written with the default text (its folder made when missing), 0 otherwise.
int ndi_dev_create_default_profile(const char* path);
// 1 when the text parses and holds the object "ndi"; 0 otherwise (a message says why).
int ndi_dev_profile_check_text(const char* text);
// The same for the device's profile text.
int ndi_dev_profile_check(const NDI_Dev* dev);
// Changes one item and rewrites the whole file. The document comes from source when it is not empty (a
// kNdiDevProfileSize-byte buffer, which receives the rewritten text), otherwise from the file. value/length
// carry the new value (string bytes, a 1-byte bool, or a 40-byte record for item 9); remove only serves item
// 3 (removes "networks"). 1 after writing, 0 otherwise.
int ndi_dev_profile_write(const char* path, char* source, int item, const void* value, int length, int remove);
// Copies one item into out (capacity bytes): strings NUL-terminated when shorter than the capacity, bools as
// one byte, item 9 as a 40-byte record. 1 when something was copied.
int ndi_dev_profile_read(const char* path, const char* source, int item, void* out, int capacity);

// Item operations on the product's profile file (each makes sure the file exists first); 0 on a refused
// argument.
int ndi_dev_profile_set_machinename(const char* name);
int ndi_dev_profile_get_machinename(char* out, int capacity);
int ndi_dev_profile_set_metadata(const char* text);
int ndi_dev_profile_get_metadata(char* out, int capacity);
// which: 0 both, 1 send, 2 receive.
int ndi_dev_profile_set_groups(int which, const char* groups);
// A buffer that cannot be filled from the profile and holds more than 6 bytes receives "Public".
int ndi_dev_profile_get_groups(char* send, int send_capacity, char* recv, int recv_capacity);
// Enable writes the discovery server address (not empty); disable removes "networks".
int ndi_dev_profile_set_discovery(int enable, const char* address);
int ndi_dev_profile_get_discovery(char* out, int capacity);
// Enable: unicast off both ways, multicast send on with the TTL, netmask and netprefix (at most 15 characters
// each), multicast receive on. Disable: unicast on both ways, multicast off both ways.
int ndi_dev_profile_set_multicast(int enable, int ttl, const char* netprefix, const char* netmask);
int ndi_dev_profile_get_multicast(int* enable, int* ttl, char* netprefix, int netprefix_capacity, char* netmask,
                                  int netmask_capacity);
