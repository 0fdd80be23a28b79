#include "netif/netif.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

struct IfaddrsFree {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};
using IfaddrsList = std::unique_ptr<ifaddrs, IfaddrsFree>;

IpMac Record(const char* name, const std::string& ipv4,
             const std::string& ipv6) {
  IpMac record;
  record.ifname = name;
  record.ipv4 = ipv4;
  record.ipv6 = ipv6;
  record.mac = get_mac(name);
  return record;
}

}  // namespace

std::string get_mac(const char* name) {
  if (std::strcmp(name, "lo") == 0) return "";
  struct ifreq request;
  // The request's name field holds IFNAMSIZ-1 characters and a NUL; a longer
  // name cannot be any interface's, so it is refused rather than cut.
  if (std::strlen(name) >= sizeof request.ifr_name) return "";
  Socket sock(socket(AF_INET, SOCK_STREAM, 0));
  if (sock.fd() < 0) return "";
  std::memset(&request, 0, sizeof request);
  std::memcpy(request.ifr_name, name, std::strlen(name) + 1);
  if (ioctl(sock.fd(), SIOCGIFHWADDR, &request) != 0) return "";
  const auto* b = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
  char text[18];
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", b[0], b[1],
                b[2], b[3], b[4], b[5]);
  return text;
}

void GetIpMac(std::vector<IpMac>& list) {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return;
  IfaddrsList addresses(raw);
  for (const ifaddrs* entry = raw; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    const bool loopback = std::strcmp(entry->ifa_name, "lo") == 0;
    if (entry->ifa_addr->sa_family == AF_INET) {
      char text[INET_ADDRSTRLEN] = "";
      const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      if (loopback || std::strncmp(text, "127.0.0.1", 9) == 0) continue;
      list.push_back(Record(entry->ifa_name, text, ""));
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      char text[INET6_ADDRSTRLEN] = "";
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
      inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
      if (loopback || std::strncmp(text, "::", 2) == 0) continue;
      list.push_back(Record(entry->ifa_name, "", text));
    }
  }
}

void GetNetInterface(std::vector<std::string>& names) {
  std::vector<IpMac> records;
  GetIpMac(records);
  for (const IpMac& record : records) {
    if (std::find(names.begin(), names.end(), record.ifname) == names.end())
      names.push_back(record.ifname);
  }
}
