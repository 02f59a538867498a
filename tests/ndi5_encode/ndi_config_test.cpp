#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/pointer.h>

#include <string>

#include "ndi_config.h"

namespace {

TEST(NdiConfig, TextParsesWithTheTableOfKeysAndValues) {
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(ndi_config_text()).HasParseError());
    struct Text {
        const char* pointer;
        const char* value;
    } texts[] = {{"/ndi/machinename", "Corvane"},        {"/ndi/send/metadata", "< Corvane source/>"},
                 {"/ndi/groups/send", "Public"},         {"/ndi/groups/recv", "Public"},
                 {"/ndi/multicast/send/netmask", "255.255.0.0"}, {"/ndi/multicast/send/netprefix", "239.255.0.0"},
                 {"/ndi/vendor/name", "Corvane"}};
    for (const Text& t : texts) {
        const rapidjson::Value* v = rapidjson::Pointer(t.pointer).Get(doc);
        ASSERT_TRUE(v && v->IsString()) << t.pointer;
        EXPECT_STREQ(v->GetString(), t.value) << t.pointer;
    }
    struct Flag {
        const char* pointer;
        bool value;
    } flags[] = {{"/ndi/rudp/send/enable", true},       {"/ndi/rudp/recv/enable", true},
                 {"/ndi/multicast/send/enable", false}, {"/ndi/multicast/recv/enable", true},
                 {"/ndi/tcp/send/enable", false},       {"/ndi/tcp/recv/enable", false},
                 {"/ndi/unicast/send/enable", false},   {"/ndi/unicast/recv/enable", false}};
    for (const Flag& f : flags) {
        const rapidjson::Value* v = rapidjson::Pointer(f.pointer).Get(doc);
        ASSERT_TRUE(v && v->IsBool()) << f.pointer;
        EXPECT_EQ(v->GetBool(), f.value) << f.pointer;
    }
    EXPECT_EQ(rapidjson::Pointer("/ndi/multicast/send/ttl").Get(doc)->GetInt(), 1);
    ASSERT_NE(rapidjson::Pointer("/ndi/vendor/id").Get(doc), nullptr);
    // Tab-indented, the vendor object on one line with tab-separated members.
    const std::string text = ndi_config_text();
    EXPECT_NE(text.find("\n\t\t\"machinename\""), std::string::npos);
    EXPECT_NE(text.find("\"vendor\": {\t\"name\": \"Corvane\",\t\"id\": "), std::string::npos);
}

}  // namespace

#include "ndi_pull0.h"

// The NDI input's spare flag starts set and keeps what it is given.
TEST(NdiPull0SpareFlag, StartsSetAndKeepsItsValue) {
    EXPECT_EQ(get_ndi_pull0_spare_flag(), 1);
    set_ndi_pull0_spare_flag(0);
    EXPECT_EQ(get_ndi_pull0_spare_flag(), 0);
    set_ndi_pull0_spare_flag(1);
}
