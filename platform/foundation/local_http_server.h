// A loopback HTTP/1.0 server for tests, on an ephemeral port of 127.0.0.1. Each route answers
// with a fixed status, header lines and body (any bytes); unknown paths get a 404 page, and
// "/stall" accepts the request and never answers. It counts the requests it read per path.
//
//   platform::foundation::LocalHttpServer server({{"/model.zip", {200, "", archive_bytes}}});
//   Download(server.URL("/model.zip"));
//   EXPECT_EQ(server.RequestCount("/model.zip"), 1);
//   Download("http://127.0.0.1:" + std::to_string(platform::foundation::ClosedPort()) + "/");
#ifndef PLATFORM_FOUNDATION_LOCAL_HTTP_SERVER_H_
#define PLATFORM_FOUNDATION_LOCAL_HTTP_SERVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace platform::foundation {

// A listening socket on an ephemeral port of 127.0.0.1; `*port` gets the port.
inline int ListenOnLoopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  EXPECT_EQ(listen(fd, 16), 0);
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

// A loopback HTTP/1.0 server on an ephemeral port. Each route answers with a fixed status,
// header lines and body; "/stall" accepts the request and never answers.
class LocalHttpServer {
 public:
  struct Reply {
    int status;
    std::string headers;  // "Name: value\r\n" lines
    std::string body;
  };

  explicit LocalHttpServer(std::map<std::string, Reply> routes) : routes_(std::move(routes)) {
    listen_fd_ = ListenOnLoopback(&port_);
    thread_ = std::thread([this] { Serve(); });
  }

  ~LocalHttpServer() {
    shutdown(listen_fd_, SHUT_RDWR);  // wakes the blocked accept
    thread_.join();
    close(listen_fd_);
    for (int fd : stalled_) close(fd);
  }

  // Requests read so far for `path`, or for every path when `path` is empty.
  int RequestCount(const std::string& path = "") const {
    std::lock_guard<std::mutex> lock(count_mutex_);
    if (!path.empty()) {
      auto it = requests_.find(path);
      return it == requests_.end() ? 0 : it->second;
    }
    int total = 0;
    for (const auto& [p, n] : requests_) total += n;
    return total;
  }

  std::string URL(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void Serve() {
    while (true) {
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      std::string request;
      char buffer[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      std::istringstream line(request);
      std::string method, path;
      line >> method >> path;
      {
        std::lock_guard<std::mutex> lock(count_mutex_);
        ++requests_[path];
      }
      if (path == "/stall") {
        stalled_.push_back(fd);
        continue;
      }
      auto it = routes_.find(path);
      Reply reply = it != routes_.end() ? it->second : Reply{404, "", "no such page"};
      std::string response = "HTTP/1.0 " + std::to_string(reply.status) + " Reply\r\n" +
                             reply.headers + "Content-Length: " +
                             std::to_string(reply.body.size()) + "\r\n\r\n" + reply.body;
      size_t sent = 0;
      while (sent < response.size()) {
        ssize_t n = write(fd, response.data() + sent, response.size() - sent);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      close(fd);
    }
  }

  std::map<std::string, Reply> routes_;
  mutable std::mutex count_mutex_;
  std::map<std::string, int> requests_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::vector<int> stalled_;  // only touched by the server thread until it is joined
  std::thread thread_;
};

// A loopback port with nothing listening: bound, then closed.
inline int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_LOCAL_HTTP_SERVER_H_
