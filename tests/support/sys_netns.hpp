// SPDX-License-Identifier: Apache-2.0
// A network and mount namespace of the calling process's own in which the
// system API's default addresses exist: both on its loopback, and a fresh
// /dev/shm so that the default socket path meets nothing of the host's.
// Needs root; used by the system API's namespace test and the bench.
#ifndef V2X_SYS_NETNS_HPP
#define V2X_SYS_NETNS_HPP

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "cv2x_app_sys.h"

namespace v2xtest {

inline bool netns_if_up(int aicFd, const char* aipcName)
{
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", aipcName);
    if (ioctl(aicFd, SIOCGIFFLAGS, &ifr) != 0) {
        return false;
    }
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    return ioctl(aicFd, SIOCSIFFLAGS, &ifr) == 0;
}

inline bool netns_if_addr(int aicFd, const char* aipcLabel, const char* aipcIp)
{
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", aipcLabel);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    inet_pton(AF_INET, aipcIp, &sin.sin_addr);
    memcpy(&ifr.ifr_addr, &sin, sizeof(sin));
    if (ioctl(aicFd, SIOCSIFADDR, &ifr) != 0) {
        return false;
    }
    inet_pton(AF_INET, "255.255.255.0", &sin.sin_addr);
    memcpy(&ifr.ifr_netmask, &sin, sizeof(sin));
    return ioctl(aicFd, SIOCSIFNETMASK, &ifr) == 0;
}

// Must run before any thread exists. Empty when done, else the reason.
inline std::string enter_sys_netns()
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        return std::string("unshare: ") + strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) {
        return std::string("mount: ") + strerror(errno);
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const bool ok = fd >= 0 && netns_if_up(fd, "lo") &&
                    netns_if_addr(fd, "lo:1", V2X_SYS_DEF_SEND_IP) &&
                    netns_if_addr(fd, "lo:2", V2X_SYS_DEF_RCV_IP);
    const std::string why = ok ? "" : std::string("loopback addresses: ") + strerror(errno);
    if (fd >= 0) {
        close(fd);
    }
    return why;
}

}  // namespace v2xtest

#endif
