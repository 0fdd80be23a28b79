// Prints what the inventory sees, for inventory_test.py to compare with the
// interfaces it built in a namespace. Tab-separated lines:
//   rec  ifname ipv4 ipv6 mac   (GetIpMac, called twice on one list)
//   name ifname                 (GetNetInterface, called twice on one list)
//   mac  argument result        (get_mac of each command-line argument)
//   fds  count                  (descriptors left open by all of the above)
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "netif/netif.h"

int main(int argc, char* argv[]) {
  const auto open_descriptors = [] {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
  };
  const long open_at_start = open_descriptors();
  std::vector<IpMac> records;
  std::vector<std::string> names;
  for (int pass = 0; pass < 2; ++pass) { GetIpMac(records); GetNetInterface(names); }
  for (const IpMac& r : records)
    std::printf("rec\t%s\t%s\t%s\t%s\n", r.ifname.c_str(), r.ipv4.c_str(),
                r.ipv6.c_str(), r.mac.c_str());
  for (const std::string& name : names) std::printf("name\t%s\n", name.c_str());
  for (int i = 1; i < argc; ++i)
    std::printf("mac\t%s\t%s\n", argv[i], get_mac(argv[i]).c_str());
  std::printf("fds\t%ld\n", open_descriptors() - open_at_start);
  return 0;
}
