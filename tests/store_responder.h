// store_responder.h: a scripted HTTP responder on 127.0.0.1 for the tests of
// the object store. Each connection carries one request; the responder
// records it and answers what the test's handler returns for it (or drops
// the connection, or sends a body cut short).
#ifndef ZERVGEN_TESTS_STORE_RESPONDER_H_
#define ZERVGEN_TESTS_STORE_RESPONDER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zervgen_test {

struct Recorded {
  std::string method;
  std::string target;   // path and query
  std::string headers;  // the header lines, as sent
  std::string body;
  // The value of header `name` (lowercase), or "" when it was not sent.
  std::string Header(const std::string& name) const {
    std::size_t at = 0;
    while (at < headers.size()) {
      const std::size_t end = headers.find("\r\n", at);
      const std::string line = headers.substr(at, end - at);
      const std::size_t colon = line.find(':');
      std::string key = line.substr(0, colon);
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (colon != std::string::npos && key == name) {
        std::size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ') ++v;
        return line.substr(v);
      }
      if (end == std::string::npos) break;
      at = end + 2;
    }
    return {};
  }
  std::string Query() const {
    const std::size_t q = target.find('?');
    return q == std::string::npos ? "" : target.substr(q + 1);
  }
};

struct Reply {
  Reply(int status_ = 200, std::string body_ = {}, std::string headers_ = {})
      : status(status_), body(std::move(body_)), headers(std::move(headers_)) {}
  static Reply Drop() {
    Reply reply;
    reply.drop = true;
    return reply;
  }
  int status;
  std::string body;
  std::string headers;  // further header lines, each ending in \r\n
  bool drop = false;    // close the connection without an answer
  std::size_t cut = 0;  // > 0: announce the whole body, send this many bytes, close
};

inline Reply S3Error(int status, const std::string& code) {
  return Reply{status, "<?xml version=\"1.0\"?><Error><Code>" + code +
                           "</Code><Message>m</Message></Error>"};
}

class Responder {
 public:
  using Handler = std::function<Reply(const Recorded&, int index)>;

  explicit Responder(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 16) != 0) {
      std::abort();
    }
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~Responder() {
    stopping_ = true;
    acceptor_.join();
    for (std::thread& t : served_) t.join();
    ::close(listener_);
  }

  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<Recorded> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Accept() {
    while (!stopping_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      served_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    std::string in;
    char buf[65536];
    std::size_t headEnd;
    while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        ::close(fd);
        return;
      }
      in.append(buf, static_cast<std::size_t>(n));
    }
    Recorded r;
    const std::size_t lineEnd = in.find("\r\n");
    const std::string line = in.substr(0, lineEnd);
    r.method = line.substr(0, line.find(' '));
    r.target = line.substr(r.method.size() + 1, line.rfind(' ') - r.method.size() - 1);
    r.headers = in.substr(lineEnd + 2, headEnd - lineEnd - 2);
    const std::string length = r.Header("content-length");
    const std::size_t want = length.empty() ? 0 : std::stoul(length);
    r.body = in.substr(headEnd + 4);
    while (r.body.size() < want) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      r.body.append(buf, static_cast<std::size_t>(n));
    }
    int index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = static_cast<int>(requests_.size());
      requests_.push_back(r);
    }
    const Reply reply = handler_(r, index);
    if (!reply.drop) {
      const std::string head = "HTTP/1.1 " + std::to_string(reply.status) +
                               " X\r\nContent-Length: " + std::to_string(reply.body.size()) +
                               "\r\nConnection: close\r\n" + reply.headers + "\r\n";
      std::string out = head;
      if (r.method != "HEAD") out += reply.cut > 0 ? reply.body.substr(0, reply.cut) : reply.body;
      (void)::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    } else {
      // A reset: the connection ends with no answer.
      linger l{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd);
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> served_;  // the acceptor's alone
  std::mutex mutex_;
  std::vector<Recorded> requests_;
};

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_STORE_RESPONDER_H_
