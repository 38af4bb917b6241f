#pragma once

// A network of a test's own (Linux): a thread moved into a new network namespace, its loopback
// up, with nftables rules of the test's choosing, so that silent hosts (SYNs dropped) can be
// made without touching the machine's network. Threads started from that thread (a search
// task's workers) live in the same namespace. For tests and benchmarks.

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

extern char** environ;

namespace probrix::test {

// Rules that drop every SYN to the addresses of Set (an nftables set or prefix: "127.0.0.0/24",
// "{ 127.0.0.2, 127.0.0.7 }"), so that a connect to them gets no answer at all.
inline std::string DropSynsTo(const std::string& Set) {
  return "table ip probrix_test {\n"
         "  chain input {\n"
         "    type filter hook input priority 0;\n"
         "    ip daddr " +
         Set +
         " tcp flags & (syn | ack) == syn drop\n"
         "  }\n"
         "}\n";
}

namespace detail {

inline std::string LoopbackUp() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("socket: ") + std::strerror(errno);
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  std::string why;
  if (::ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) {
    why = std::string("SIOCGIFFLAGS: ") + std::strerror(errno);
  } else {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    if (::ioctl(fd, SIOCSIFFLAGS, &ifr) != 0)
      why = std::string("SIOCSIFFLAGS: ") + std::strerror(errno);
  }
  ::close(fd);
  return why;
}

// "nft -f -" with Rules on its standard input.
inline std::string ApplyNftRules(const std::string& Rules) {
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  char nft[] = "nft", f[] = "-f", dash[] = "-";
  char* argv[] = {nft, f, dash, nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, "nft", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  if (rc != 0) {
    ::close(in[1]);
    return std::string("nft cannot be started (tools/deps.sh installs nftables): ") +
           std::strerror(rc);
  }
  const ssize_t written = ::write(in[1], Rules.data(), Rules.size());
  ::close(in[1]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (written != static_cast<ssize_t>(Rules.size())) return "nft: the rules were not written";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "nft refused the rules (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
  return {};
}

}  // namespace detail

// Runs Body on a thread of its own in a new network namespace with its loopback up and
// NftRules (when not empty) applied. Returns why the network could not be made (no right to
// make namespaces, no nft), in which case Body does not run; empty when Body ran.
inline std::string RunInPrivateNetwork(const std::string& NftRules,
                                       const std::function<void()>& Body) {
  std::string why;
  std::thread thread([&] {
    // A network namespace belongs to the thread that makes it; the process's other threads
    // stay where they are.
    if (::unshare(CLONE_NEWNET) != 0) {
      why = std::string("a network namespace cannot be made here: ") + std::strerror(errno);
      return;
    }
    why = detail::LoopbackUp();
    if (why.empty() && !NftRules.empty()) why = detail::ApplyNftRules(NftRules);
    if (why.empty()) Body();
  });
  thread.join();
  return why;
}

}  // namespace probrix::test
