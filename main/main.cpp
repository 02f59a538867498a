// The appliance's process entry. It reads no arguments and no environment.
#include "app_start.h"
#include "fixed_path.h"
#include "logger.h"

int main() {
    // The log first, so everything after it can be logged.
    Logger* logger = Logger::get_instance();
    logger->set_path(fixed_path(kLogPath));
    logger->set_level(0);
    logger->set_enable();
    LOGGER_D("\r\nLogger::get_instance() === start ===\r\n");

    run_appliance();
}
