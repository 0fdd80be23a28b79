// The host's own interface addresses, loopback left out.
#ifndef MGMTFETCH_NETIF_NETIF_H_
#define MGMTFETCH_NETIF_NETIF_H_

#include <string>
#include <vector>

// One local address: exactly one of ipv4 and ipv6 is set; mac is the
// interface's hardware address as "xx-xx-xx-xx-xx-xx", or "" if unreadable.
struct IpMac {
  std::string ifname;
  std::string ipv4;
  std::string ipv6;
  std::string mac;
};

// The hardware address of the named interface, "" on any failure.
std::string get_mac(const char* name);

// Appends one record per IPv4/IPv6 address of every interface except "lo",
// skipping texts that begin with "127.0.0.1" or "::".
void GetIpMac(std::vector<IpMac>& list);

// Appends the names of interfaces with such an address that `names` does
// not hold yet, in the order of their first address.
void GetNetInterface(std::vector<std::string>& names);

#endif  // MGMTFETCH_NETIF_NETIF_H_
