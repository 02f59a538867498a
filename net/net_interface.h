// The device's own IPv4 address as the interfaces report it.
#pragma once

#include <string>

namespace mnet {

// Dotted address of the first IPv4 interface other than "lo"; "0.0.0.0" when there is none.
std::string GetLocalIPAddress();

}  // namespace mnet
