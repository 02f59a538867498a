// The wiring of the process: every library reaches the parts above it through functions it lets the
// process install (so folders depend only downwards). install_service_hooks installs all of them; start-up
// calls it before the configuration start-up, which already starts NDI and "ip1" tasks.
#pragma once

#include "control_services.h"

// The control dispatcher's table of services, filled with the process's real operations.
ControlServices make_control_services();

void install_service_hooks();
