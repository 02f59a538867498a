#include "version_file.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "command_runner.h"
#include "fixed_path.h"

namespace {
constexpr const char* kVersionPath = "/userdata/version";
}

std::string update_version_file(const std::string& version) {
    const std::string path = fixed_path(kVersionPath);
    std::string old_version_text;
    if (access(path.c_str(), F_OK) != 0) {
        run_command(std::string("touch ") + kVersionPath);
        old_version_text = version;
    } else if (FILE* file = std::fopen(path.c_str(), "r")) {
        char line[kVersionLineMax + 1];
        if (std::fgets(line, sizeof(line), file) != nullptr) {
            line[std::strcspn(line, "\n")] = '\0';
            old_version_text = line;
        }
        std::fclose(file);
    }
    std::printf("old version : %s\n", old_version_text.c_str());
    std::printf("version : %s\n", version.c_str());
    std::fflush(stdout);
    run_command("echo " + version + "> " + kVersionPath);
    run_command("sync");
    return old_version_text;
}
