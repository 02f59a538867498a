#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "ndi_config.h"
#include "ndi_dev_profile.h"
#include "ndi_dev_test_support.h"

namespace {

using ndi_dev_test::read_text;
using ndi_dev_test::write_profile;

// A profile holding every item, so each one can be written and read back.
const char kFullProfile[] = R"({
  "ndi": {
    "machinename": "Corvane",
    "send": {"metadata": "<x/>"},
    "networks": {"ips": "10.0.0.2,10.0.0.3", "discovery": "10.0.0.1"},
    "groups": {"send": "Public", "recv": "Public"},
    "adapters": {"allowed": ["eth0"]},
    "rudp": {"send": {"enable": true}, "recv": {"enable": true}},
    "multicast": {"send": {"ttl": 1, "enable": false, "netmask": "255.255.0.0", "netprefix": "239.255.0.0"},
                  "recv": {"enable": true}},
    "tcp": {"send": {"enable": false}, "recv": {"enable": false}},
    "unicast": {"send": {"enable": false}, "recv": {"enable": false}}
  }
})";

rapidjson::Document parse(const std::string& text) {
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    EXPECT_FALSE(doc.HasParseError()) << text;
    return doc;
}

// Pads a valid profile with spaces to exactly size bytes.
std::string padded_profile(size_t size) {
    std::string text = kFullProfile;
    text.resize(size, ' ');
    return text;
}

class NdiDevProfile : public ::testing::Test {
protected:
    ndi_dev_test::DeviceEnv env_;
    std::string path_ = env_.profile_path();
};

TEST_F(NdiDevProfile, DefaultIsWrittenOnceAndNeverOverwritesAProfile) {
    ASSERT_FALSE(std::filesystem::exists(std::filesystem::path(path_).parent_path()));
    EXPECT_EQ(ndi_dev_create_default_profile(path_.c_str()), 1);
    EXPECT_EQ(read_text(path_), ndi_config_text());

    write_profile(path_, kFullProfile);
    EXPECT_EQ(ndi_dev_create_default_profile(path_.c_str()), 1);
    EXPECT_EQ(read_text(path_), kFullProfile);
    // An existing but broken profile is the user's file too.
    write_profile(path_, "{broken");
    EXPECT_EQ(ndi_dev_create_default_profile(path_.c_str()), 1);
    EXPECT_EQ(read_text(path_), "{broken");

    EXPECT_EQ(ndi_dev_create_default_profile(""), 0);
    EXPECT_EQ(ndi_dev_create_default_profile(nullptr), 0);
    // A folder that cannot be made (a file stands in its place).
    write_profile(env_.root() + "/file", "x");
    const std::string deep = env_.root() + "/file/NDI5/profile.json";
    EXPECT_EQ(ndi_dev_create_default_profile(deep.c_str()), 0);
}

TEST_F(NdiDevProfile, CheckTable) {
    const struct {
        const char* text;
        int expected;
    } cases[] = {
        {"", 0},
        {"{", 0},
        {"[]", 0},
        {"{\"ndi\": 1}", 0},
        {"{\"other\": {}}", 0},
        {"{\"ndi\": {}} trailing", 0},
        {"{\"ndi\": {}}", 1},
        {kFullProfile, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(ndi_dev_profile_check_text(c.text), c.expected) << c.text;
    EXPECT_EQ(ndi_dev_profile_check_text(ndi_config_text()), 1);
    EXPECT_EQ(ndi_dev_profile_check_text(nullptr), 0);
}

// Reads and writes refuse a profile that is missing, broken, without "ndi" or too long for its buffer, and leave
// the file as it was.
TEST_F(NdiDevProfile, UnusableProfilesAreRefusedAndKept) {
    const struct {
        const char* what;
        bool present;
        std::string text;
        int expected;
    } cases[] = {
        {"missing", false, "", 0},
        {"broken", true, "{\"ndi\": {", 0},
        {"no ndi", true, "{\"idn\": {\"machinename\": \"x\"}}", 0},
        {"ndi not an object", true, "{\"ndi\": \"x\"}", 0},
        {"2048 bytes", true, padded_profile(kNdiDevProfileSize), 0},
        {"4096 bytes", true, padded_profile(2 * kNdiDevProfileSize), 0},
        {"2047 bytes", true, padded_profile(kNdiDevProfileSize - 1), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(path_);
        if (c.present) write_profile(path_, c.text);
        char name[64] = {};
        EXPECT_EQ(ndi_dev_profile_read(path_.c_str(), nullptr, kNdiDevItemMachineName, name, sizeof(name)),
                  c.expected);
        if (c.expected) {
            EXPECT_STREQ(name, "Corvane");
        }
        if (c.expected) continue;
        EXPECT_EQ(ndi_dev_profile_write(path_.c_str(), nullptr, kNdiDevItemMachineName, "new", 3, 0), 0);
        EXPECT_EQ(std::filesystem::exists(path_), c.present);
        if (c.present) {
            EXPECT_EQ(read_text(path_), c.text);
        }
    }
}

// Every item written and read back, through the file and through a caller's text buffer.
TEST_F(NdiDevProfile, EveryItemRoundTrips) {
    const struct {
        int item;
        std::string value;  // strings; "0"/"1" for bools
    } cases[] = {
        {kNdiDevItemMachineName, "BRISKBOX"},   {kNdiDevItemSendMetadata, "<meta/>"},
        {kNdiDevItemNetworksIps, "192.0.2.7"},  {kNdiDevItemDiscovery, "192.0.2.1:5959"},
        {kNdiDevItemGroupsSend, "Studio"},      {kNdiDevItemGroupsRecv, "Studio,Public"},
        {kNdiDevItemAdapters, "eth0,eth1"},     {kNdiDevItemRudpSend, "0"},
        {kNdiDevItemRudpRecv, "0"},             {kNdiDevItemMulticastRecv, "0"},
        {kNdiDevItemTcpSend, "1"},              {kNdiDevItemTcpRecv, "1"},
        {kNdiDevItemUnicastSend, "1"},          {kNdiDevItemUnicastRecv, "1"},
    };
    for (bool through_buffer : {false, true}) {
        write_profile(path_, kFullProfile);
        char source[kNdiDevProfileSize] = {};
        if (through_buffer) strcpy(source, kFullProfile);
        char* src = through_buffer ? source : nullptr;
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "item " << c.item << (through_buffer ? " (buffer)" : " (file)"));
            const bool is_bool = c.value == "0" || c.value == "1";
            uint8_t flag = c.value == "1" ? 1 : 0;
            const void* value = is_bool ? static_cast<const void*>(&flag) : c.value.c_str();
            const int length = is_bool ? 1 : static_cast<int>(c.value.size());
            ASSERT_EQ(ndi_dev_profile_write(path_.c_str(), src, c.item, value, length, 0), 1);
            char out[128] = {};
            ASSERT_EQ(ndi_dev_profile_read(path_.c_str(), src, c.item, out, sizeof(out)), 1);
            if (is_bool) {
                EXPECT_EQ(static_cast<uint8_t>(out[0]), flag);
            } else {
                EXPECT_STREQ(out, c.value.c_str());
            }
        }
        // The file and the buffer hold the same document.
        if (through_buffer) {
            EXPECT_EQ(read_text(path_), std::string(source) + "\n");
        }
    }
    NdiDevMulticastRecord record{};
    record.ttl = 4;
    record.enable = 1;
    strcpy(record.netmask, "255.255.255.0");
    strcpy(record.netprefix, "239.1.0.0");
    ASSERT_EQ(ndi_dev_profile_write(path_.c_str(), nullptr, kNdiDevItemMulticastSend, &record, sizeof(record), 0), 1);
    NdiDevMulticastRecord back{};
    ASSERT_EQ(ndi_dev_profile_read(path_.c_str(), nullptr, kNdiDevItemMulticastSend, &back, sizeof(back)), 1);
    EXPECT_EQ(memcmp(&record, &back, sizeof(record)), 0);
}

TEST_F(NdiDevProfile, RefusedValuesLeaveTheFile) {
    write_profile(path_, kFullProfile);
    NdiDevMulticastRecord unterminated;
    memset(&unterminated, 'x', sizeof(unterminated));
    unterminated.enable = 1;
    const struct {
        const char* what;
        int item;
        const void* value;
        int length;
        int remove;
    } cases[] = {
        {"unknown item", kNdiDevItemCount, "x", 1, 0},
        {"negative item", -1, "x", 1, 0},
        {"no value", kNdiDevItemMachineName, nullptr, 0, 0},
        {"remove of a string item", kNdiDevItemMachineName, nullptr, 0, 1},
        {"bool without a byte", kNdiDevItemTcpSend, "", 0, 0},
        {"short multicast record", kNdiDevItemMulticastSend, &unterminated, 39, 0},
        {"unterminated record texts", kNdiDevItemMulticastSend, &unterminated, 40, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ndi_dev_profile_write(path_.c_str(), nullptr, c.item, c.value, c.length, c.remove), 0) << c.what;
        EXPECT_EQ(read_text(path_), kFullProfile) << c.what;
    }
    char small[4];
    EXPECT_EQ(ndi_dev_profile_read(path_.c_str(), nullptr, kNdiDevItemMachineName, small, sizeof(small)), 0);
    // A change that would not fit the 2048-byte buffer is not written.
    const std::string long_name(kNdiDevProfileSize, 'n');
    EXPECT_EQ(ndi_dev_profile_write(path_.c_str(), nullptr, kNdiDevItemMachineName, long_name.c_str(),
                                    static_cast<int>(long_name.size()), 0),
              0);
    EXPECT_EQ(read_text(path_), kFullProfile);
}

TEST_F(NdiDevProfile, SetOfAnAbsentMemberRewritesAnEqualDocument) {
    ASSERT_EQ(ndi_dev_create_default_profile(path_.c_str()), 1);
    // The default text has no "networks"."ips", no "adapters" and no bool under "networks".
    EXPECT_EQ(ndi_dev_profile_write(path_.c_str(), nullptr, kNdiDevItemNetworksIps, "192.0.2.9", 9, 0), 1);
    const std::string rewritten = read_text(path_);
    EXPECT_NE(rewritten, ndi_config_text());  // rewritten in its own layout
    EXPECT_TRUE(parse(rewritten) == parse(ndi_config_text()));
    EXPECT_EQ(ndi_dev_profile_write(path_.c_str(), nullptr, kNdiDevItemAdapters, "eth0", 4, 0), 1);
    EXPECT_TRUE(parse(read_text(path_)) == parse(ndi_config_text()));
    char out[32];
    EXPECT_EQ(ndi_dev_profile_read(path_.c_str(), nullptr, kNdiDevItemNetworksIps, out, sizeof(out)), 0);
}

TEST_F(NdiDevProfile, MachineNameAndMetadataOnTheProductProfile) {
    EXPECT_EQ(ndi_dev_profile_set_machinename("STUDIO-1"), 1);
    EXPECT_EQ(ndi_dev_profile_set_metadata("<m a=\"1\"/>"), 1);
    char out[32];
    EXPECT_EQ(ndi_dev_profile_get_machinename(out, sizeof(out)), 1);
    EXPECT_STREQ(out, "STUDIO-1");
    EXPECT_EQ(ndi_dev_profile_get_metadata(out, sizeof(out)), 1);
    EXPECT_STREQ(out, "<m a=\"1\"/>");
    EXPECT_EQ(ndi_dev_profile_get_machinename(out, 8), 0);  // "STUDIO-1" needs 9 bytes
    EXPECT_EQ(ndi_dev_profile_set_machinename(nullptr), 0);
    EXPECT_EQ(ndi_dev_profile_get_metadata(nullptr, 10), 0);
}

TEST_F(NdiDevProfile, GroupsAndTheirFallback) {
    EXPECT_EQ(ndi_dev_profile_set_groups(1, "Send-Only"), 1);
    EXPECT_EQ(ndi_dev_profile_set_groups(2, "Recv-Only"), 1);
    char send[16], recv[16];
    EXPECT_EQ(ndi_dev_profile_get_groups(send, sizeof(send), recv, sizeof(recv)), 1);
    EXPECT_STREQ(send, "Send-Only");
    EXPECT_STREQ(recv, "Recv-Only");
    EXPECT_EQ(ndi_dev_profile_set_groups(0, "Both"), 1);
    EXPECT_EQ(ndi_dev_profile_get_groups(send, sizeof(send), recv, sizeof(recv)), 1);
    EXPECT_STREQ(send, "Both");
    EXPECT_STREQ(recv, "Both");
    EXPECT_EQ(ndi_dev_profile_set_groups(3, "x"), 0);

    // An unreadable profile: buffers of 7 bytes or more get "Public", smaller ones stay as they were.
    write_profile(path_, "{not json");
    char seven_a[7] = "xxxxxx", seven_b[7] = "yyyyyy";
    EXPECT_EQ(ndi_dev_profile_get_groups(seven_a, 7, seven_b, 7), 1);
    EXPECT_STREQ(seven_a, "Public");
    EXPECT_STREQ(seven_b, "Public");
    char six[6] = "zzzzz";
    EXPECT_EQ(ndi_dev_profile_get_groups(six, 6, seven_b, 7), 0);
    EXPECT_STREQ(six, "zzzzz");
    EXPECT_EQ(read_text(path_), "{not json");
}

TEST_F(NdiDevProfile, DiscoveryAddsAndRemovesNetworks) {
    char out[64];
    EXPECT_EQ(ndi_dev_profile_get_discovery(out, sizeof(out)), 0);  // the default has none
    EXPECT_EQ(ndi_dev_profile_set_discovery(1, ""), 0);
    EXPECT_EQ(ndi_dev_profile_set_discovery(1, nullptr), 0);
    EXPECT_EQ(ndi_dev_profile_set_discovery(1, "192.0.2.1:5959"), 1);
    EXPECT_EQ(ndi_dev_profile_get_discovery(out, sizeof(out)), 1);
    EXPECT_STREQ(out, "192.0.2.1:5959");
    EXPECT_EQ(ndi_dev_profile_set_discovery(1, "192.0.2.2"), 1);
    EXPECT_EQ(ndi_dev_profile_get_discovery(out, sizeof(out)), 1);
    EXPECT_STREQ(out, "192.0.2.2");
    EXPECT_EQ(ndi_dev_profile_set_discovery(0, nullptr), 1);
    EXPECT_EQ(ndi_dev_profile_get_discovery(out, sizeof(out)), 0);
    EXPECT_FALSE(parse(read_text(path_))["ndi"].HasMember("networks"));
}

TEST_F(NdiDevProfile, MulticastTogglesUnicast) {
    auto flag = [&](int item) {
        uint8_t value = 0xFF;
        EXPECT_EQ(ndi_dev_profile_read(path_.c_str(), nullptr, item, &value, 1), 1);
        return static_cast<int>(value);
    };
    EXPECT_EQ(ndi_dev_profile_set_multicast(1, 5, "239.9.0.0", "255.255.255.0"), 1);
    int enable = -1, ttl = -1;
    char prefix[16], mask[16];
    EXPECT_EQ(ndi_dev_profile_get_multicast(&enable, &ttl, prefix, sizeof(prefix), mask, sizeof(mask)), 1);
    EXPECT_EQ(enable, 1);
    EXPECT_EQ(ttl, 5);
    EXPECT_STREQ(prefix, "239.9.0.0");
    EXPECT_STREQ(mask, "255.255.255.0");
    EXPECT_EQ(flag(kNdiDevItemUnicastSend), 0);
    EXPECT_EQ(flag(kNdiDevItemUnicastRecv), 0);
    EXPECT_EQ(flag(kNdiDevItemMulticastRecv), 1);

    // A text of 16 characters does not fit the record: refused, nothing changed.
    const std::string before = read_text(path_);
    EXPECT_EQ(ndi_dev_profile_set_multicast(1, 5, "239.100.100.100x", "255.0.0.0"), 0);
    EXPECT_EQ(ndi_dev_profile_set_multicast(1, 5, "239.1.0.0", nullptr), 0);
    EXPECT_EQ(read_text(path_), before);

    EXPECT_EQ(ndi_dev_profile_set_multicast(0, 0, nullptr, nullptr), 1);
    EXPECT_EQ(ndi_dev_profile_get_multicast(&enable, &ttl, prefix, sizeof(prefix), mask, 4), 1);
    EXPECT_EQ(enable, 0);
    EXPECT_EQ(ttl, 5);  // kept while disabled
    EXPECT_EQ(flag(kNdiDevItemUnicastSend), 1);
    EXPECT_EQ(flag(kNdiDevItemUnicastRecv), 1);
    EXPECT_EQ(flag(kNdiDevItemMulticastRecv), 0);
}

}  // namespace
