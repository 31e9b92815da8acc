// A private certificate authority made with the openssl command line, and
// server certificates for the TLS tests: issued by it, expired, or signed
// by nobody but themselves. The system's store does not know the CA.
#pragma once

#include <filesystem>
#include <string>

namespace testing_support {

class TestCertificates {
 public:
  enum class Kind { kIssued, kExpired, kSelfSigned };
  struct Files {
    std::filesystem::path certificate;  // PEM
    std::filesystem::path key;          // PEM, unencrypted
  };

  // Makes the CA in a fresh directory; ok() tells whether it worked.
  TestCertificates();
  ~TestCertificates();  // removes the directory
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  bool ok() const { return ok_; }
  // The CA's certificate, the file a client trusts.
  std::filesystem::path ca_file() const { return dir_ / "ca.pem"; }
  // A server certificate named name (a file name too) for the
  // subjectAltName entries alt_names ("IP:127.1.2.3,DNS:pop.example").
  // Empty paths when openssl failed.
  Files Issue(const std::string& name, const std::string& alt_names, Kind kind = Kind::kIssued);

 private:
  std::filesystem::path dir_;
  bool ok_ = false;
};

}  // namespace testing_support
