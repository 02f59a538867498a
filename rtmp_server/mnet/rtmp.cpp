#include "rtmp.h"

#include <cctype>

namespace mnet {

int Rtmp::ParseRtmpUrl(std::string url) {
    static const std::string kScheme = "rtmp://";
    size_t start = url.find(kScheme);
    if (start == std::string::npos) return -1;
    // The address ends at the first white space.
    std::string rest = url.substr(start + kScheme.size());
    size_t space = 0;
    while (space < rest.size() && !isspace(static_cast<unsigned char>(rest[space]))) ++space;
    rest.resize(space);

    size_t slash = rest.find('/');
    if (slash == std::string::npos || slash == 0) return -1;
    std::string authority = rest.substr(0, slash);
    std::string path = rest.substr(slash + 1);
    if (path.empty() || path.size() > kMaxPathLength) return -1;

    std::string host = authority;
    uint16_t port = kDefaultPort;
    size_t colon = authority.find(':');
    if (colon != std::string::npos) {
        std::string digits = authority.substr(colon + 1);
        bool numeric = !digits.empty() && digits.size() <= 5;
        for (char c : digits) numeric = numeric && isdigit(static_cast<unsigned char>(c));
        if (numeric && colon > 0) {
            unsigned long value = std::stoul(digits);
            if (value > 65535) return -1;
            host = authority.substr(0, colon);
            port = static_cast<uint16_t>(value);
        }
    }
    if (host.empty() || host.size() > kMaxHostLength) return -1;

    ip_ = host;
    port_ = port;
    stream_path_ = "/" + path;
    url_ = url;

    size_t split = path.find('/');
    if (split == std::string::npos || split == 0 || split + 1 >= path.size()) return -1;
    std::string app = path.substr(0, split);
    std::string stream_name = path.substr(split + 1);
    if (app.size() > kMaxAppLength || stream_name.size() > kMaxStreamNameLength) return -1;
    app_ = app;
    stream_name_ = stream_name;
    tc_url_ = "rtmp://" + ip_ + ":" + std::to_string(port_) + "/" + app_;
    swf_url_ = tc_url_;
    return 0;
}

}  // namespace mnet
