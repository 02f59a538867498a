// Long waits of the process (start-up pauses of seconds, reconnect delays, watchdog periods) go through one
// pause function, so tests can make them return at once or count them instead of sleeping for real.
// Short pacing sleeps inside media loops stay ordinary sleeps.
#pragma once

#include <cstdint>

using PauseFunction = void (*)(int64_t ms);

// Installs the pause function; nullptr restores the real sleep.
void set_pause_function(PauseFunction fn);

// Waits ms milliseconds (through the installed function).
void pause_ms(int64_t ms);
inline void pause_seconds(int64_t s) { pause_ms(s * 1000); }
