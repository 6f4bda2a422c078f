#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "../common/cargo_version.h"
#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::cargo_older_than;
using tarnwick::testing::TempCrate;

/// A sparse registry index on 127.0.0.1 that knows no crates: it serves
/// config.json and answers 404 to everything else.
class LocalSparseIndex {
 public:
  LocalSparseIndex() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~LocalSparseIndex() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int config_requests() const { return config_requests_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      answer(connection);
      ::close(connection);
    }
  }

  void answer(int connection) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      pollfd readable{connection, POLLIN, 0};
      if (::poll(&readable, 1, 2000) <= 0) return;
      ssize_t got = ::read(connection, buffer, sizeof buffer);
      if (got <= 0) return;
      request.append(buffer, static_cast<size_t>(got));
    }
    std::string response;
    if (request.starts_with("GET /config.json ")) {
      ++config_requests_;
      std::string body = "{\"dl\":\"" + url() + "/dl\",\"api\":\"" + url() + "\"}";
      response = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    } else {
      response = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    for (size_t sent = 0; sent < response.size();) {
      ssize_t wrote = ::write(connection, response.data() + sent, response.size() - sent);
      if (wrote <= 0) return;
      sent += static_cast<size_t>(wrote);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> config_requests_{0};
  std::thread thread_;
};

TEST(Publish, DryRunAgainstALocalSparseRegistry) {
  if (cargo_older_than(68)) GTEST_SKIP() << "needs cargo >= 1.68: sparse registries";
  LocalSparseIndex index;
  ASSERT_GT(index.port(), 0);
  TempCrate crate(
      "tarnwick_pub_probe",
      {{"src/lib.rs", "pub fn answer() -> i32 { 42 }\n"},
       {".cargo/config.toml", "[registries.local]\nindex = \"sparse+" + index.url() + "/\"\n"}},
      "");
  // The manifest names the only registry it may go to.
  crate.write("Cargo.toml",
              "[package]\nname = \"tarnwick_pub_probe\"\nversion = \"0.1.0\"\nedition = \"2021\"\n"
              "description = \"probe\"\nlicense = \"MIT\"\npublish = [\"local\"]\n");
  ToolServer server;
  // The server keeps cargo offline; this call lets it reach the index on the
  // loopback only, and keeps the index cache out of the user's cargo home.
  CallAnswer answer = server.call(
      "cargo_publish",
      {{"working_dir", crate.path()},
       {"dry_run", true},
       {"allow_dirty", "yes"},
       {"env", {{"CARGO_NET_OFFLINE", nullptr}, {"CARGO_HOME", crate / "cargo-home"}}}});
  EXPECT_FALSE(answer.is_error()) << answer.text();
  ASSERT_FALSE(answer.lines().empty());
  EXPECT_EQ(answer.lines().front(), json({{"argv", {"publish", "--dry-run", "--allow-dirty"}},
                                          {"cwd", crate.path()},
                                          {"reason", "x-tarnwick-invocation"}})
                                        .dump());
  EXPECT_NE(answer.text().find("aborting upload due to dry run"), std::string::npos)
      << answer.text();
  EXPECT_GE(index.config_requests(), 1);
}

}  // namespace
}  // namespace tarnwick::e2e
