// A loopback HTTP/1.0 server for tests that keeps every request (method, path, header fields,
// raw body) and answers each path with a scripted status and body, or closes the connection
// without an answer. Unscripted paths answer 404.
//
//   RecordingHttpServer server;
//   server.Script("/v1/sync", {200, response_bytes});
//   platform::fetcher::SetHostMap({{"service.example", server.Base()}});
//   ...
//   auto requests = server.Requests();
//   EXPECT_EQ(requests[0].headers.at("content-encoding"), "gzip");
#ifndef PLATFORM_FETCHER_RECORDING_HTTP_SERVER_TEST_UTIL_H_
#define PLATFORM_FETCHER_RECORDING_HTTP_SERVER_TEST_UTIL_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/local_http_server.h"

class RecordingHttpServer {
 public:
  struct Reply {
    int status = 200;
    std::string body;
    bool close_without_answer = false;
    // Runs on the server thread after the request was read, before the answer goes out.
    std::function<void()> before_answer;
  };
  struct Request {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
  };

  RecordingHttpServer() {
    listen_fd_ = platform::foundation::ListenOnLoopback(&port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RecordingHttpServer() {
    shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    close(listen_fd_);
  }

  void Script(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[path] = std::move(reply);
  }
  std::vector<Request> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  void Serve() {
    while (true) {
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      std::string data;
      char buffer[4096];
      size_t header_end;
      while ((header_end = data.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
      }
      if (header_end == std::string::npos) {
        close(fd);
        continue;
      }
      Request request;
      std::istringstream lines(data.substr(0, header_end));
      std::string line;
      std::getline(lines, line);
      std::istringstream(line) >> request.method >> request.path;
      size_t content_length = 0;
      while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (name == "content-length") content_length = std::stoul(value);
        request.headers[name] = value;
      }
      request.body = data.substr(header_end + 4);
      while (request.body.size() < content_length) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        request.body.append(buffer, static_cast<size_t>(n));
      }
      Reply reply{404, "no such page"};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        auto it = replies_.find(request.path);
        if (it != replies_.end()) reply = it->second;
      }
      if (reply.before_answer) reply.before_answer();
      if (!reply.close_without_answer) {
        std::string response = "HTTP/1.0 " + std::to_string(reply.status) +
                               " Reply\r\nContent-Length: " + std::to_string(reply.body.size()) +
                               "\r\n\r\n" + reply.body;
        size_t sent = 0;
        while (sent < response.size()) {
          ssize_t n = write(fd, response.data() + sent, response.size() - sent);
          if (n <= 0) break;
          sent += static_cast<size_t>(n);
        }
      }
      close(fd);
    }
  }

  mutable std::mutex mutex_;
  std::map<std::string, Reply> replies_;
  std::vector<Request> requests_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

#endif  // PLATFORM_FETCHER_RECORDING_HTTP_SERVER_TEST_UTIL_H_
