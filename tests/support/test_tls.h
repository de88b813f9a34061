// Certificates made on the fly and small servers on 127.0.0.1 for the tests
// and benchmarks of the HTTP client: an HTTPS server (cpp-httplib) that logs
// every request it receives, and a raw TCP listener whose behaviour per
// connection the test chooses (never answer, drop, send garbage).
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A key and certificate; the CA signs the leaves.
struct TestCertificate {
  std::shared_ptr<EVP_PKEY> key;
  std::shared_ptr<X509> cert;

  std::vector<uint8_t> Der() const {
    unsigned char* der = nullptr;
    const int size = i2d_X509(cert.get(), &der);
    std::vector<uint8_t> bytes(der, der + (size > 0 ? size : 0));
    OPENSSL_free(der);
    return bytes;
  }
  void WritePem(const std::string& path) const {
    FILE* file = std::fopen(path.c_str(), "w");
    PEM_write_X509(file, cert.get());
    std::fclose(file);
  }

  // A certificate for `common_name` valid from `from` to `to` seconds from
  // now; self-signed (a CA) without `issuer`. `alt_names`: "DNS:x,IP:1.2.3.4".
  static TestCertificate Make(const std::string& common_name, const TestCertificate* issuer,
                              const std::string& alt_names = "", long from = -3600, long to = 86400) {
    static std::atomic<long> serial{1};
    TestCertificate c{std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), EVP_PKEY_free),
                      std::shared_ptr<X509>(X509_new(), X509_free)};
    X509* x = c.cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
    X509_gmtime_adj(X509_getm_notBefore(x), from);
    X509_gmtime_adj(X509_getm_notAfter(x), to);
    X509_set_pubkey(x, c.key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer->cert.get()) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer->cert.get() : x, x, nullptr, nullptr, 0);
    auto add = [&](int nid, const std::string& value) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
      X509_add_ext(x, ext, -1);
      X509_EXTENSION_free(ext);
    };
    add(NID_basic_constraints, issuer ? "critical,CA:FALSE" : "critical,CA:TRUE");
    if (!alt_names.empty()) add(NID_subject_alt_name, alt_names);
    X509_sign(x, issuer ? issuer->key.get() : c.key.get(), EVP_sha256());
    return c;
  }
};

// A TCP socket bound to an ephemeral port of 127.0.0.1, and that port.
inline int BindLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// An ephemeral port that was free a moment ago.
inline int FreePort() {
  int port = 0;
  ::close(BindLoopback(&port));
  return port;
}

// An HTTPS server on 127.0.0.1 with `leaf`'s certificate; routes are added
// before Start. Every request received is logged ("GET /path").
class TlsTestServer {
 public:
  explicit TlsTestServer(const TestCertificate& leaf) : server_(leaf.cert.get(), leaf.key.get()) {
    server_.set_logger([this](const httplib::Request& req, const httplib::Response&) {
      std::lock_guard lock(mutex_);
      log_.push_back(req.method + " " + req.path);
    });
    server_.set_keep_alive_max_count(1000000);
    server_.set_tcp_nodelay(true);
  }
  ~TlsTestServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  httplib::Server& http() { return server_; }
  int Start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return port_;
  }
  int port() const { return port_; }
  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  httplib::SSLServer server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> log_;
};

// A TCP listener on 127.0.0.1; `on_connection(fd, index)` runs for each
// accepted connection on the listener's thread. The handler ends a connection
// with shutdown(), never close(): the descriptors are closed by the
// destructor, so that their numbers are not reused meanwhile.
class RawTcpServer {
 public:
  using Handler = std::function<void(int fd, int index)>;
  explicit RawTcpServer(Handler on_connection) : handler_(std::move(on_connection)) {
    listen_fd_ = BindLoopback(&port_);
    ::listen(listen_fd_, 64);
    thread_ = std::thread([this] {
      for (int index = 0;; ++index) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 || stopping_) {
          if (fd >= 0) ::close(fd);
          return;
        }
        {
          std::lock_guard lock(mutex_);
          open_.push_back(fd);
        }
        connections_++;
        handler_(fd, index);
      }
    });
  }
  ~RawTcpServer() {
    stopping_ = true;
    ::shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    ::close(listen_fd_);
    for (int fd : open_) ::close(fd);
  }
  int port() const { return port_; }
  int connections() const { return connections_; }

 private:
  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::vector<int> open_;
  std::thread thread_;
};

}  // namespace testing_support
