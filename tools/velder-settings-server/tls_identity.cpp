#include "tls_identity.h"

#include <fcntl.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include <fmt/format.h>

namespace settings_server {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// Writes through a temporary file and a rename, so that a start killed halfway
// never leaves half a key behind.
bool WritePem(const std::string& path, mode_t mode, const std::function<bool(std::FILE*)>& write) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  File file(::fdopen(fd, "w"));
  if (!file) {
    ::close(fd);
    return false;
  }
  bool ok = write(file.get()) && std::fflush(file.get()) == 0 && ::fsync(fd) == 0;
  file.reset();
  ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) std::remove(temporary.c_str());
  return ok;
}

bool Generate(const std::string& certFile, const std::string& keyFile, std::string& error) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert) {
    error = "cannot create a key";
    return false;
  }
  char host[256] = "localhost";
  ::gethostname(host, sizeof host - 1);
  X509_set_version(cert.get(), 2);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_new(), BN_free);
  BN_rand(bn.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
  BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(host), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("velder-settings-server"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  const std::string san = fmt::format("DNS:localhost,DNS:{},IP:127.0.0.1,IP:::1", host);
  // A CA mark lets the same file serve as the CA file of the clients.
  if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign") ||
      !AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") ||
      !AddExtension(cert.get(), NID_subject_alt_name, san.c_str()) ||
      !AddExtension(cert.get(), NID_subject_key_identifier, "hash") ||
      X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    error = "cannot sign the certificate";
    return false;
  }
  if (!WritePem(keyFile, 0600, [&](std::FILE* f) {
        return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
      }) ||
      !WritePem(certFile, 0644, [&](std::FILE* f) { return PEM_write_X509(f, cert.get()) == 1; })) {
    error = "cannot write " + keyFile + " or " + certFile;
    return false;
  }
  return true;
}

}  // namespace

std::string CertificateFingerprint(const std::string& pemFile) {
  File file(std::fopen(pemFile.c_str(), "r"));
  if (!file) return {};
  std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr), X509_free);
  if (!cert) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(cert.get(), EVP_sha256(), digest, &length) != 1) return {};
  std::string text;
  for (unsigned int i = 0; i < length; ++i) text += fmt::format("{}{:02X}", i == 0 ? "" : ":", digest[i]);
  return text;
}

bool PrepareTlsIdentity(const std::string& certFile, const std::string& keyFile, const std::string& dataDir,
                        TlsIdentity& identity, std::string& error) {
  if (certFile.empty() != keyFile.empty()) {
    error = "--cert and --key go together";
    return false;
  }
  identity = TlsIdentity{};
  if (!certFile.empty()) {
    identity.certFile = certFile;
    identity.keyFile = keyFile;
  } else {
    identity.certFile = (std::filesystem::path(dataDir) / "server-cert.pem").string();
    identity.keyFile = (std::filesystem::path(dataDir) / "server-key.pem").string();
    std::error_code ec;
    if (!std::filesystem::exists(identity.certFile, ec) || !std::filesystem::exists(identity.keyFile, ec)) {
      if (!Generate(identity.certFile, identity.keyFile, error)) return false;
      identity.generated = true;
    }
  }
  identity.fingerprint = CertificateFingerprint(identity.certFile);
  if (identity.fingerprint.empty()) {
    error = "cannot read a certificate from " + identity.certFile;
    return false;
  }
  return true;
}

}  // namespace settings_server
