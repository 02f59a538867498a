// The network set-up against a real eth0: only ever the eth0 of a fresh sandbox of its own, never the host's.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

TEST(Eth0InSandbox, FirstStartSetsMacAndAddressAndSecondStartLeavesEth0Alone) {
    const char* inside = std::getenv("BRISKBOX_SANDBOX");
    if (inside == nullptr || std::string(inside) != "1") GTEST_SKIP() << "runs only inside scripts/sandbox.sh";
    // A nested sandbox of its own: a fresh eth0 that no other test shares.
    const std::string command = std::string(BRISKBOX_SANDBOX_SCRIPT) + " " + BRISKBOX_ETH0_PROBE + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) output.append(chunk, n);
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("eth0 probe: ok"), std::string::npos) << output;
}
