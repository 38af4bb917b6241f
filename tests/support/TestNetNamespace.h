#pragma once

// A network of a test's own (Linux): a thread moved into a new network namespace, its loopback
// up, with nftables rules of the test's choosing, so that silent hosts can be made without
// touching the machine's network. Threads started from that thread (a search task's workers)
// live in the same namespace. For tests and benchmarks.

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace probrix::test {

// Rules that drop every SYN to the addresses of Set ("127.0.0.0/24"): a connect to them gets
// no answer at all.
inline std::string DropSynsTo(const std::string& Set) {
  return "table ip probrix_test { chain input { type filter hook input priority 0; ip daddr " +
         Set + " tcp flags & (syn | ack) == syn drop; }; }";
}

// Runs Body on a thread of its own in a new network namespace with its loopback up and
// NftRules applied. Returns why that network could not be made (no right to make namespaces,
// no nft: tools/deps.sh installs nftables), and then Body does not run; empty when Body ran.
inline std::string RunInPrivateNetwork(const std::string& NftRules,
                                       const std::function<void()>& Body) {
  std::string why;
  std::thread thread([&] {
    // A network namespace belongs to the thread that makes it; the process's other threads
    // stay where they are, and a shell started from here is inside.
    if (::unshare(CLONE_NEWNET) != 0) {
      why = std::string("a network namespace cannot be made here: ") + std::strerror(errno);
      return;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    const bool up = ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    ::close(fd);
    if (!up) {
      why = std::string("the loopback of the namespace stays down: ") + std::strerror(errno);
    } else if (std::system(("nft '" + NftRules + "' 2>&1").c_str()) != 0) {
      why = "nft refused the rules or is not installed (tools/deps.sh installs nftables)";
    } else {
      Body();
    }
  });
  thread.join();
  return why;
}

}  // namespace probrix::test
