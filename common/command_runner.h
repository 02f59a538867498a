// Every shell command of the process goes through one runner. The product's runner hands the text to
// system() or popen(); tests install a recording runner and assert on the exact command texts, so no test
// can reconfigure a real network interface or write a real system file.
#pragma once

#include <string>

class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    // Runs the command line and returns what system() returns.
    virtual int run(const std::string& command) = 0;
    // Runs the command line and returns what it printed on standard output.
    virtual std::string capture(const std::string& command) = 0;
};

// The runner of the product: system() and popen().
class SystemCommandRunner : public CommandRunner {
public:
    int run(const std::string& command) override;
    std::string capture(const std::string& command) override;
};

// Installs the runner every command goes through; nullptr restores the system runner. The caller keeps
// ownership and keeps the runner alive while it is installed.
void set_command_runner(CommandRunner* runner);

int run_command(const std::string& command);
std::string capture_command(const std::string& command);
