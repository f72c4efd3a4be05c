// A small HTTP server on 127.0.0.1 for the download tests: each path answers as a route
// says (status and body, a cut body, silence, a redirect loop, a huge body, a body that
// trickles in a byte at a time), and requests are counted per path.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace library_test {

class LocalHttpServer {
 public:
  enum class Kind { kBody, kCutBody, kSilent, kRedirectToSelf, kHuge, kTrickle };
  struct Route {
    Kind kind = Kind::kBody;
    int status = 200;
    std::string body;
  };

  LocalHttpServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    listen(listener_, 16);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LocalHttpServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }

  void Add(const std::string& path, Route route) {
    std::lock_guard<std::mutex> g(lock_);
    routes_[path] = std::move(route);
  }
  // Runs `hook` before each answer on the path, while the client waits for it.
  void Before(const std::string& path, std::function<void()> hook) {
    std::lock_guard<std::mutex> g(lock_);
    hooks_[path] = std::move(hook);
  }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  int Requests(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    return counts_[path];
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int c = accept(listener_, nullptr, nullptr);
      if (c < 0) continue;
      Answer(c);
      close(c);
    }
  }
  void Answer(int c) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = read(c, buf, sizeof(buf));
      if (n <= 0) return;
      request.append(buf, static_cast<size_t>(n));
    }
    const size_t sp = request.find(' ');
    const std::string path = request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
    Route route;
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> g(lock_);
      ++counts_[path];
      route = routes_.count(path) != 0 ? routes_[path] : Route{Kind::kBody, 404, "no such list"};
      if (hooks_.count(path) != 0) hook = hooks_[path];
    }
    if (hook) hook();
    auto send = [&](const std::string& s) { return write(c, s.data(), s.size()) == static_cast<ssize_t>(s.size()); };
    const std::string status = "HTTP/1.1 " + std::to_string(route.status) + " X\r\nConnection: close\r\n";
    switch (route.kind) {
      case Kind::kBody:
      case Kind::kCutBody:  // claims ten times the body it sends
        send(status + "Content-Length: " + std::to_string(route.body.size() * (route.kind == Kind::kCutBody ? 10 : 1)) +
             "\r\n\r\n" + route.body);
        break;
      case Kind::kSilent:
        // Answers nothing until the client gives up (or 3 s pass).
        for (int i = 0; i < 60 && !stop_; ++i) {
          pollfd p{c, POLLIN, 0};
          if (poll(&p, 1, 50) > 0 && read(c, buf, sizeof(buf)) <= 0) break;
        }
        break;
      case Kind::kRedirectToSelf:
        send("HTTP/1.1 302 Found\r\nConnection: close\r\nLocation: " + path + "\r\nContent-Length: 0\r\n\r\n");
        break;
      case Kind::kTrickle:
        // Four bytes a second, fast enough for any stall limit, for up to 15 s.
        send(status + "Content-Length: 1000\r\n\r\n");
        for (int i = 0; i < 60 && !stop_; ++i) {
          if (::send(c, "0", 1, MSG_NOSIGNAL) != 1) break;
          usleep(250000);
        }
        break;
      case Kind::kHuge: {
        send(status + "Content-Length: 100000000\r\n\r\n");
        const std::string chunk(1 << 20, '0');
        for (int i = 0; i < 100 && !stop_; ++i)
          if (!send(chunk)) break;
        break;
      }
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::map<std::string, Route> routes_;
  std::map<std::string, std::function<void()>> hooks_;
  std::map<std::string, int> counts_;
};

}  // namespace library_test
