#include "net_interface.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace mnet {

std::string GetLocalIPAddress() {
    int sockfd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sockfd < 0) return "0.0.0.0";
    char buf[512];
    memset(buf, 0, sizeof(buf));
    struct ifconf ifconf;
    ifconf.ifc_len = sizeof(buf);
    ifconf.ifc_buf = buf;
    int ret = ::ioctl(sockfd, SIOCGIFCONF, &ifconf);
    ::close(sockfd);
    if (ret < 0) return "0.0.0.0";
    int count = ifconf.ifc_len / static_cast<int>(sizeof(struct ifreq));
    struct ifreq* entries = ifconf.ifc_req;
    for (int i = 0; i < count; ++i) {
        if (entries[i].ifr_addr.sa_family != AF_INET) continue;
        if (strncmp(entries[i].ifr_name, "lo", IFNAMSIZ) == 0) continue;
        struct sockaddr_in addr;
        memcpy(&addr, &entries[i].ifr_addr, sizeof(addr));
        char text[INET_ADDRSTRLEN] = {0};
        if (::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text)) != nullptr) return text;
    }
    return "0.0.0.0";
}

}  // namespace mnet
