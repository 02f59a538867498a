// The status pushes of the process: the NDI source list, the statistics and the USB camera port list, each
// framed with the header of the last request of its kind and sent to every open WebSocket connection while
// the web server runs.
#pragma once

#include <functional>
#include <string>

#include "push_requests.h"

// Frames {"data": data_json, "code": 0} with the stored header of kind and sends it while the web server runs.
// Returns the frame text ("" when it could not be built or was not sent).
std::string push_status(PushKind kind, const std::string& data_json);

// Where push_status sends its frames instead of the web server (tests); an empty function restores the web
// server.
using PushSink = std::function<void(const std::string& frame)>;
void set_push_sink(PushSink sink);
