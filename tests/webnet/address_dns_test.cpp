// Address texts, access lists, DNS message building and parsing, and the resolver against a loopback
// dnsmasq (only ever a server this test starts on 127.0.0.2).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixed_path.h"
#include "wn_dns.h"
#include "wn_net.h"

namespace {

// A hosts file and resolv.conf of the test's own, under a temporary root.
class FixedFiles {
public:
    FixedFiles() {
        char pattern[] = "/tmp/webnet_root_XXXXXX";
        root_ = mkdtemp(pattern);
        std::system(("mkdir -p " + root_ + "/etc").c_str());
        set_fixed_path_root(root_);
    }
    ~FixedFiles() {
        set_fixed_path_root("");
        std::system(("rm -rf " + root_).c_str());
    }
    void write(const std::string& path, const std::string& text) { std::ofstream(root_ + path) << text; }

private:
    std::string root_;
};

struct AddressCase {
    const char* text;
    int result;
    int proto;
    const char* ip;
    int port;
};

class Addresses : public testing::TestWithParam<AddressCase> {};

TEST_P(Addresses, Parse) {
    FixedFiles files;
    files.write("/etc/hosts", "# comment line with web.test\n127.0.0.9 alias.test other.test\n");
    const AddressCase& c = GetParam();
    socket_address sa;
    int proto = 0;
    char host[kWnHostBuffer];
    EXPECT_EQ(wn_parse_address(c.text, &sa, &proto, host, sizeof host), c.result) << c.text;
    if (c.result > 0) {
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
        EXPECT_STREQ(ip, c.ip) << c.text;
        EXPECT_EQ(ntohs(sa.sin_port), c.port) << c.text;
        EXPECT_EQ(proto, c.proto) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Addresses,
    testing::Values(AddressCase{"8080", 4, WN_PROTO_TCP, "0.0.0.0", 8080},
                    AddressCase{":8080", 5, WN_PROTO_TCP, "0.0.0.0", 8080},
                    AddressCase{"tcp://8080", 4, WN_PROTO_TCP, "0.0.0.0", 8080},
                    AddressCase{"udp://1.2.3.4:53", 10, WN_PROTO_UDP, "1.2.3.4", 53},
                    AddressCase{"1.2.3.4:65535", -1, 0, "", 0}, AddressCase{"1.2.3.4:65534", 13, WN_PROTO_TCP, "1.2.3.4", 65534},
                    AddressCase{"1.2.3.4:80,more", 10, WN_PROTO_TCP, "1.2.3.4", 80},
                    AddressCase{"1.2.3.4:80x", -1, 0, "", 0}, AddressCase{"LocalHost:80", -1, 0, "", 0},
                    AddressCase{"some.name:80", 0, 0, "", 0}, AddressCase{"other.test:81", 13, WN_PROTO_TCP, "127.0.0.9", 81},
                    AddressCase{"web.test:80", 0, 0, "", 0}, AddressCase{"nonsense", -1, 0, "", 0}));

TEST(WebnetAddress, AccessLists) {
    auto ip = [](const char* text) { return ntohl(inet_addr(text)); };
    EXPECT_EQ(wn_check_ip_acl("-0.0.0.0/0,+192.168.0.0/16", ip("192.168.1.5")), 1);
    EXPECT_EQ(wn_check_ip_acl("-0.0.0.0/0,+192.168.0.0/16", ip("10.0.0.1")), 0);
    EXPECT_EQ(wn_check_ip_acl("+10.0.0.0/8", ip("11.0.0.1")), 0);
    EXPECT_EQ(wn_check_ip_acl("+10.0.0.0/8", ip("10.200.0.1")), 1);
    EXPECT_EQ(wn_check_ip_acl("10.0.0.0/8", ip("10.0.0.1")), -1);
    EXPECT_EQ(wn_check_ip_acl("+10.0.0.0/8x", ip("10.0.0.1")), -1);
    EXPECT_EQ(wn_check_ip_acl("+300.0.0.0/8", ip("10.0.0.1")), -1);
    EXPECT_EQ(wn_check_ip_acl("", ip("1.2.3.4")), 1);
    EXPECT_EQ(wn_check_ip_acl(nullptr, ip("1.2.3.4")), 1);
    EXPECT_EQ(wn_check_ip_acl("+127.0.0.1", ip("127.0.0.1")), 1);
    uint32_t net = 0, mask = 0;
    EXPECT_EQ(wn_parse_net("0.0.0.0/0", &net, &mask), 9);
    EXPECT_EQ(mask, 0u);
}

TEST(WebnetAddress, ListenerErrors) {
    FixedFiles files;
    files.write("/etc/hosts", "127.0.0.1 loopback.test\n");
    wn_mgr mgr;
    wn_mgr_init(&mgr, nullptr);
    const char* error = nullptr;
    wn_add_sock_opts opts = {};
    opts.error_string = &error;
    EXPECT_EQ(wn_bind_opt(&mgr, "name.test:80", nullptr, opts), nullptr);
    EXPECT_STREQ(error, "cannot parse address");
    wn_connection* first = wn_bind(&mgr, "127.0.0.1:0", nullptr);
    ASSERT_NE(first, nullptr);
    const std::string taken = "127.0.0.1:" + std::to_string(ntohs(first->sa.sin_port));
    error = nullptr;
    EXPECT_EQ(wn_bind_opt(&mgr, taken.c_str(), nullptr, opts), nullptr);
    EXPECT_STREQ(error, "failed to open listener");
    wn_connect_opts copts = {};
    copts.error_string = &error;
    EXPECT_EQ(wn_connect_opt(&mgr, "localhost:80", nullptr, copts), nullptr);
    EXPECT_STREQ(error, "cannot parse address");
    wn_mgr_free(&mgr);
}

std::string encode_query(const char* name, int type) {
    mbuf io;
    mbuf_init(&io, 0);
    wn_dns_message message = {};
    message.transaction_id = 0x1234;
    message.flags = 0x0100;
    message.num_questions = 1;
    wn_dns_insert_header(&io, 0, &message);
    wn_dns_resource_record question = {};
    question.rtype = static_cast<uint16_t>(type);
    question.rclass = 1;
    question.kind = WN_DNS_RESOURCE_RECORD_KIND_QUESTION;
    const int n = wn_dns_encode_record(&io, &question, name, std::strlen(name), nullptr, 0);
    std::string out = n < 0 ? std::string() : std::string(io.buf, io.len);
    mbuf_free(&io);
    return out;
}

TEST(WebnetDns, BuildAndParseRoundTrip) {
    const std::string query = encode_query("www.example.test", WN_DNS_A_RECORD);
    ASSERT_EQ(query.size(), 12u + 18u + 4u);
    EXPECT_EQ(query.substr(12, 18), std::string("\3www\7example\4test\0", 18));
    wn_dns_message message;
    ASSERT_EQ(wn_parse_dns(query.data(), static_cast<int>(query.size()), &message), 0);
    EXPECT_EQ(message.num_questions, 1);
    EXPECT_EQ(message.flags, 0x0100);
    EXPECT_EQ(message.questions[0].rtype, WN_DNS_A_RECORD);
    char name[64];
    EXPECT_EQ(wn_dns_uncompress_name(&message, &message.questions[0].name, name, sizeof name), 16u);
    EXPECT_STREQ(name, "www.example.test");
    // A label of 64 bytes is refused and nothing is left half-written.
    EXPECT_EQ(encode_query((std::string(64, 'a') + ".test").c_str(), 1), "");
    EXPECT_NE(encode_query((std::string(63, 'a') + ".test").c_str(), 1), "");
}

// A reply: header, question "a.test", and answers that point back at the question's name.
std::string reply(int answers, const std::string& extra_name = std::string()) {
    std::string r("\x12\x34\x81\x80\x00\x01", 6);
    r += static_cast<char>(answers >> 8);
    r += static_cast<char>(answers & 0xFF);
    r += std::string("\0\0\0\0", 4);
    r += std::string("\1a\4test\0\0\1\0\1", 12);
    for (int i = 0; i < answers; ++i) {
        r += std::string("\xC0\x0C\0\1\0\1\0\0\0\x3C\0\4", 12);
        r += std::string("\x7F\0\0", 3) + static_cast<char>(i + 1);
    }
    return r + extra_name;
}

TEST(WebnetDns, RepliesAnswersCapsAndHostileNames) {
    const std::string forty = reply(40);
    wn_dns_message message;
    ASSERT_EQ(wn_parse_dns(forty.data(), static_cast<int>(forty.size()), &message), 0);
    EXPECT_EQ(message.num_answers, 32);
    wn_dns_resource_record* first = wn_dns_next_record(&message, WN_DNS_A_RECORD, nullptr);
    ASSERT_NE(first, nullptr);
    in_addr address;
    ASSERT_EQ(wn_dns_parse_record_data(&message, first, &address, 4), 0);
    EXPECT_STREQ(inet_ntoa(address), "127.0.0.1");
    EXPECT_EQ(wn_dns_next_record(&message, WN_DNS_A_RECORD, first), &message.answers[1]);
    char name[64];
    EXPECT_EQ(wn_dns_uncompress_name(&message, &first->name, name, sizeof name), 6u);
    EXPECT_STREQ(name, "a.test");
    // Replies cut anywhere before the end of the 32nd answer fail cleanly.
    const size_t parsed_end = 12 + 12 + 32 * 16;
    for (size_t cut = 0; cut < parsed_end; cut += 7) {
        wn_dns_message partial;
        EXPECT_EQ(wn_parse_dns(forty.data(), static_cast<int>(cut), &partial), -1) << cut;
    }
    // A pointer loop ends after 15 jumps; a name never overruns its buffer and is always terminated.
    std::string loop = reply(0);
    const size_t at = loop.size();
    loop += std::string("\xC0", 1) + static_cast<char>(at);
    wn_dns_message looped;
    ASSERT_EQ(wn_parse_dns(loop.data(), static_cast<int>(loop.size()), &looped), 0);
    wn_str loop_name{loop.data() + at, 2};
    EXPECT_EQ(wn_dns_uncompress_name(&looped, &loop_name, name, sizeof name), 0u);
    char small[4];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(wn_dns_uncompress_name(&message, &first->name, small, sizeof small), 3u);
    EXPECT_STREQ(small, "a.t");
}

void dns_server(wn_connection* nc, int ev, void* ev_data) {
    if (ev == WN_DNS_MESSAGE) *static_cast<int*>(nc->mgr->user_data) += static_cast<wn_dns_message*>(ev_data)->num_questions;
}

TEST(WebnetDns, ServerHandlerAnswersGarbageWithAFormatError) {
    int questions = 0;
    wn_mgr mgr;
    wn_mgr_init(&mgr, &questions);
    wn_connection* server = wn_bind(&mgr, "udp://127.0.0.1:0", dns_server);
    ASSERT_NE(server, nullptr);
    wn_set_protocol_dns(server);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ASSERT_EQ(sendto(fd, "0123456789a", 11, 0, reinterpret_cast<sockaddr*>(&server->sa), sizeof server->sa), 11);
    char answer[64] = {};
    ssize_t n = -1;
    for (int i = 0; i < 100 && n < 0; ++i) {
        wn_mgr_poll(&mgr, 10);
        n = recv(fd, answer, sizeof answer, MSG_DONTWAIT);
    }
    ASSERT_EQ(n, 12 + 11);
    EXPECT_EQ(static_cast<unsigned char>(answer[2]), 0x80);
    EXPECT_EQ(static_cast<unsigned char>(answer[3]), 0x81);
    const std::string query = encode_query("x.test", 1);
    ASSERT_GT(sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&server->sa), sizeof server->sa), 0);
    for (int i = 0; i < 100 && questions == 0; ++i) wn_mgr_poll(&mgr, 10);
    EXPECT_EQ(questions, 1);
    close(fd);
    wn_mgr_free(&mgr);
}

// dnsmasq on 127.0.0.2:53 answering from its own table and never forwarding.
class LoopbackDns {
public:
    LoopbackDns() {
        pid_ = fork();
        if (pid_ == 0) {
            execl("/usr/sbin/dnsmasq", "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--no-poll",
                  "--bind-interfaces", "--listen-address=127.0.0.2", "--port=53", "--user=root",
                  "--address=/web.test/127.0.0.1", "--address=/empty.test/", "--pid-file=", "--log-facility=-",
                  "--conf-file=/dev/null", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~LoopbackDns() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    // True once the server answers on its port.
    bool ready() {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(53);
        sa.sin_addr.s_addr = inet_addr("127.0.0.2");
        timeval tv = {0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const std::string query = encode_query("web.test", 1);
        bool answered = false;
        for (int i = 0; i < 50 && !answered; ++i) {
            sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            char buffer[512];
            answered = recv(fd, buffer, sizeof buffer, 0) > 0;
        }
        close(fd);
        return answered;
    }

private:
    pid_t pid_ = -1;
};

struct Lookup {
    bool done = false;
    int result = -1;
    std::string address;
};

void on_lookup(wn_dns_message* message, void* data, int result) {
    auto* lookup = static_cast<Lookup*>(data);
    lookup->done = true;
    lookup->result = result;
    if (message != nullptr) {
        wn_dns_resource_record* a = wn_dns_next_record(message, WN_DNS_A_RECORD, nullptr);
        in_addr address;
        if (a != nullptr && wn_dns_parse_record_data(message, a, &address, 4) == 0) lookup->address = inet_ntoa(address);
    }
}

struct Connected {
    int result = 1;
    bool closed = false;
};

void on_connect(wn_connection* nc, int ev, void* ev_data) {
    auto* state = static_cast<Connected*>(nc->user_data);
    if (ev == WN_EV_CONNECT) state->result = *static_cast<int*>(ev_data);
    if (ev == WN_EV_CLOSE) state->closed = true;
}

TEST(WebnetResolver, LooksUpThroughALoopbackServerAndConnectsByName) {
    if (access("/usr/sbin/dnsmasq", X_OK) != 0) GTEST_SKIP() << "dnsmasq is not installed";
    LoopbackDns dns;
    if (!dns.ready()) GTEST_SKIP() << "no DNS server could listen on 127.0.0.2:53 (run inside the sandbox)";
    FixedFiles files;
    files.write("/etc/resolv.conf", "nameserver ::1\nnameserver 127.0.0.2\n");
    wn_mgr mgr;
    wn_mgr_init(&mgr, nullptr);
    char server[17];
    ASSERT_EQ(wn_get_ip_address_of_nameserver(server, sizeof server), 0);
    EXPECT_STREQ(server, "127.0.0.2");  // the IPv6 line is skipped

    Lookup found;
    ASSERT_EQ(wn_resolve_async(&mgr, "web.test", WN_DNS_A_RECORD, on_lookup, &found), 0);
    for (int i = 0; i < 300 && !found.done; ++i) wn_mgr_poll(&mgr, 10);
    EXPECT_EQ(found.result, WN_RESOLVE_OK);
    EXPECT_EQ(found.address, "127.0.0.1");

    Lookup empty;
    ASSERT_EQ(wn_resolve_async(&mgr, "nothing.empty.test", WN_DNS_A_RECORD, on_lookup, &empty), 0);
    for (int i = 0; i < 300 && !empty.done; ++i) wn_mgr_poll(&mgr, 10);
    EXPECT_EQ(empty.result, WN_RESOLVE_NO_ANSWERS);  // at once, no retry

    wn_connection* listener = wn_bind(&mgr, "127.0.0.1:0", nullptr);
    ASSERT_NE(listener, nullptr);
    Connected state;
    wn_connect_opts opts = {};
    opts.user_data = &state;
    const std::string address = "web.test:" + std::to_string(ntohs(listener->sa.sin_port));
    wn_connection* nc = wn_connect_opt(&mgr, address.c_str(), on_connect, opts);
    ASSERT_NE(nc, nullptr);
    EXPECT_TRUE(nc->flags & WN_F_RESOLVING);
    for (int i = 0; i < 300 && state.result == 1; ++i) wn_mgr_poll(&mgr, 10);
    EXPECT_EQ(state.result, 0);

    Connected failed;
    opts.user_data = &failed;
    ASSERT_NE(wn_connect_opt(&mgr, "missing.empty.test:80", on_connect, opts), nullptr);
    for (int i = 0; i < 300 && !failed.closed; ++i) wn_mgr_poll(&mgr, 10);
    EXPECT_EQ(failed.result, -1);
    EXPECT_TRUE(failed.closed);
    wn_mgr_free(&mgr);
}

}  // namespace
