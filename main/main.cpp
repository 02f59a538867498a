// The appliance's process entry. It reads no arguments and no environment.
#include <unistd.h>

#include "fixed_path.h"
#include "logger.h"

int main() {
    Logger* logger = Logger::get_instance();
    logger->set_path(fixed_path("/tmp/error.tex"));
    logger->set_level(0);
    logger->set_enable();
    LOGGER_D("\r\nLogger::get_instance() === start ===\r\n");

    for (;;) pause();
}
