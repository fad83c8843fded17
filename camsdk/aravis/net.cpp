// Network look-ups for GigE cameras: which local address reaches a camera, and the MTU of the
// interface that holds it. Both ask the kernel; neither sends a packet.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "aravis_internal.h"

namespace camarv {
namespace {

constexpr uint16_t kGvcpPort = 3956;  // GigE Vision control port

// A socket descriptor that closes itself.
class Socket {
public:
    explicit Socket(int type) : fd_(socket(AF_INET, type | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace

bool localAddressFor(uint32_t device, uint32_t& local) {
    // Connecting a datagram socket only binds it to the route's source address.
    const Socket s(SOCK_DGRAM);
    if (s.fd() < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kGvcpPort);
    to.sin_addr.s_addr = htonl(device);
    if (connect(s.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return false;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    if (getsockname(s.fd(), reinterpret_cast<sockaddr*>(&from), &len) != 0 || from.sin_family != AF_INET)
        return false;
    local = ntohl(from.sin_addr.s_addr);
    return true;
}

int mtuOfAddress(uint32_t local) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return -1;
    ifreq req{};
    bool found = false;
    for (const ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in in{};
        std::memcpy(&in, a->ifa_addr, sizeof in);
        if (ntohl(in.sin_addr.s_addr) != local || std::strlen(a->ifa_name) >= sizeof req.ifr_name) continue;
        std::memcpy(req.ifr_name, a->ifa_name, std::strlen(a->ifa_name) + 1);
        found = true;
    }
    freeifaddrs(list);
    const Socket s(SOCK_DGRAM);
    if (!found || s.fd() < 0 || ioctl(s.fd(), SIOCGIFMTU, &req) != 0) return -1;
    return req.ifr_mtu;
}

}  // namespace camarv
