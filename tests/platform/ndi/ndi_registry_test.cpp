#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "ndi_registry.h"
#include "ndi_test_support.h"

namespace {

TEST(NdiRegistryRecord, ParsesAndRefusesAsTheTableSays) {
    const std::string long_name(ndi_registry::kMaxNameLength + 1, 'n');
    struct Case {
        const char* what;
        std::string text;
        bool ok;
    } cases[] = {
        {"complete", "name=BRISKBOX-1.2.3.4\naddress=127.0.0.1:5000\npid=42\n", true},
        {"unknown key ignored", "name=a\naddress=127.0.0.1:1\npid=1\nfuture=1\n", true},
        {"with groups", "name=a\naddress=127.0.0.1:1\npid=1\ngroups=public\n", true},
        {"no trailing line break", "name=a\naddress=127.0.0.1:1\npid=1", true},
        {"missing pid", "name=a\naddress=127.0.0.1:1\n", false},
        {"missing name", "address=127.0.0.1:1\npid=1\n", false},
        {"empty name", "name=\naddress=127.0.0.1:1\npid=1\n", false},
        {"name too long", "name=" + long_name + "\naddress=127.0.0.1:1\npid=1\n", false},
        {"address too long", "name=a\naddress=127.0.0.1:1000000000000000000000000\npid=1\n", false},
        {"pid not a number", "name=a\naddress=127.0.0.1:1\npid=12x\n", false},
        {"pid negative", "name=a\naddress=127.0.0.1:1\npid=-3\n", false},
        {"line without =", "name=a\nhello\naddress=127.0.0.1:1\npid=1\n", false},
        {"NUL in a value", std::string("name=a\0b\naddress=127.0.0.1:1\npid=1\n", 34), false},
        {"over the size limit", "name=a\naddress=127.0.0.1:1\npid=1\n" + std::string(ndi_registry::kMaxRecordSize, '\n'), false},
    };
    for (const Case& c : cases) {
        ndi_registry::SourceRecord record;
        EXPECT_EQ(ndi_registry::parse_record(c.text.data(), c.text.size(), &record), c.ok) << c.what;
    }
    ndi_registry::SourceRecord record;
    const std::string text = ndi_registry::format_record({"A (b)", "127.0.0.1:9", 77});
    ASSERT_TRUE(ndi_registry::parse_record(text.data(), text.size(), &record));
    EXPECT_EQ(record, (ndi_registry::SourceRecord{"A (b)", "127.0.0.1:9", 77}));
    EXPECT_TRUE(record.groups.empty()) << "a record written without groups";

    // Groups: kept as given, read back trimmed, a record without them counts as "public".
    const std::string grouped = ndi_registry::format_record({"A", "127.0.0.1:9", 77, {"Studio", "b"}});
    ASSERT_TRUE(ndi_registry::parse_record(grouped.data(), grouped.size(), &record));
    EXPECT_EQ(record.groups, (std::vector<std::string>{"Studio", "b"}));
    const std::string spaced = "name=a\naddress=127.0.0.1:1\npid=1\ngroups= x ,, Y\n";
    ASSERT_TRUE(ndi_registry::parse_record(spaced.data(), spaced.size(), &record));
    EXPECT_EQ(record.groups, (std::vector<std::string>{"x", "Y"}));
    const struct {
        std::vector<std::string> a, b;
        bool share;
    } shares[] = {
        {{}, {"public"}, true},           {{}, {"PUBLIC"}, true},          {{"Studio"}, {"sTUDIO"}, true},
        {{"a", "b"}, {"c", "B"}, true},  {{"studio"}, {}, false},         {{"a"}, {"ab"}, false},
    };
    for (const auto& s : shares) {
        EXPECT_EQ(ndi_registry::groups_share(s.a, s.b), s.share);
        EXPECT_EQ(ndi_registry::groups_share(s.b, s.a), s.share);
    }
}

TEST(NdiRegistry, LiveRecordsAreListedAndDeadOnesSkippedAndRemoved) {
    ndi_test::ScopedRegistry registry;
    {
        ndi_registry::Publication b, a;
        ASSERT_TRUE(b.publish({"B", "127.0.0.1:2", static_cast<long>(getpid())}));
        ASSERT_TRUE(a.publish({"A", "127.0.0.1:1", static_cast<long>(getpid())}));
        EXPECT_EQ(ndi_test::live_names(), (std::vector<std::string>{"A", "B"}));
        b.withdraw();
        EXPECT_EQ(ndi_test::live_names(), (std::vector<std::string>{"A"}));
    }
    EXPECT_TRUE(ndi_test::live_names().empty());

    // A record left behind by a sender that died: nobody holds its lock.
    const std::string dir = ndi_registry::registry_dir();
    std::ofstream(dir + "/stale.src") << ndi_registry::format_record({"Stale", "127.0.0.1:3", static_cast<long>(getpid())});
    // A locked record whose process is gone (the lock inherited by a child that outlived it).
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    ndi_registry::Publication reused;
    ASSERT_TRUE(reused.publish({"Dead pid", "127.0.0.1:4", static_cast<long>(child)}));
    // Garbage in the folder.
    std::ofstream(dir + "/junk.src") << "not a record";
    EXPECT_TRUE(ndi_test::live_names().empty());
    std::ifstream stale(dir + "/stale.src");
    EXPECT_FALSE(stale.good()) << "a stale record is removed";
}

}  // namespace
