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

namespace {

long OpenDescriptors() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return std::distance(begin(fds), end(fds));
}

}  // namespace

int main(int argc, char* argv[]) {
  const long open_at_start = OpenDescriptors();
  std::vector<IpMac> records;
  GetIpMac(records);
  GetIpMac(records);
  for (const IpMac& r : records)
    std::printf("rec\t%s\t%s\t%s\t%s\n", r.ifname.c_str(), r.ipv4.c_str(),
                r.ipv6.c_str(), r.mac.c_str());
  std::vector<std::string> names;
  GetNetInterface(names);
  GetNetInterface(names);
  for (const std::string& name : names) std::printf("name\t%s\n", name.c_str());
  for (int i = 1; i < argc; ++i)
    std::printf("mac\t%s\t%s\n", argv[i], get_mac(argv[i]).c_str());
  std::printf("fds\t%ld\n", OpenDescriptors() - open_at_start);
  return 0;
}
