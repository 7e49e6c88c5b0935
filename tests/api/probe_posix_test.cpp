// The probe through the shared library, seen from the network: a path never
// makes it connect anywhere.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/fixtures.h"
#include "tacetra.h"

namespace {

using nlohmann::json;

std::string probe(const std::string& path) { return tacetra_probe(path.c_str()); }

// A TCP port on the loopback that accepts and counts connections, then drops
// them at once so that a client never waits.
class loopback_listener {
 public:
  loopback_listener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (fd_ < 0) throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), size) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot listen on the loopback");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
          const int client = ::accept(fd_, nullptr, nullptr);
          if (client >= 0) {
            ++connections_;
            ::close(client);
          }
        }
      }
    });
  }
  ~loopback_listener() {
    stop_accepting();
    ::close(fd_);
  }
  loopback_listener(const loopback_listener&) = delete;
  loopback_listener& operator=(const loopback_listener&) = delete;

  std::string url(const std::string& rest) const { return "http://127.0.0.1:" + std::to_string(port_) + rest; }

  // Every connection made so far, accepted or still waiting; stops accepting.
  int connections() {
    stop_accepting();
    pollfd p{fd_, POLLIN, 0};
    int waiting = 0;
    while (::poll(&p, 1, 0) > 0 && ::accept(fd_, nullptr, nullptr) >= 0) ++waiting;
    return connections_ + waiting;
  }

 private:
  int fd_;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::jthread acceptor_;

  void stop_accepting() {
    if (!acceptor_.joinable()) return;
    acceptor_.request_stop();
    acceptor_.join();
  }
};

TEST(Probe, NeverReachesOutToTheNetwork) {
  loopback_listener listener;
  fixtures::TempDir dir;
  // A local playlist is read, but its remote segment must stay unopened.
  // (FFmpeg 5.1's playlist reader already keeps a local playlist's segments
  // local; other versions may not.)
  const std::string playlist = dir.file("list.m3u8");
  std::ofstream(playlist) << "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n"
                          << listener.url("/segment.ts") << "\n#EXT-X-ENDLIST\n";

  for (const std::string& path : {listener.url("/clip.mkv"), playlist}) {
    const std::string text = probe(path);
    const json parsed = json::parse(text);
    EXPECT_EQ(parsed["ok"], false) << path;
    EXPECT_TRUE(parsed["error"].get<std::string>().starts_with("open: ")) << path << ": " << text;
  }
  EXPECT_EQ(listener.connections(), 0);
}

}  // namespace
