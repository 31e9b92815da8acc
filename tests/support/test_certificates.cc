#include "tests/support/test_certificates.h"

#include <random>
#include <vector>

#include "platform/test_support.h"
#include "tests/support/machine_root.h"

namespace testing_support {

namespace {

namespace fs = std::filesystem;

constexpr int kOpensslLimitMs = 30000;
// RSA keys, whose signatures have one fixed length. Wine's crypt32 (8.0) joins
// an ECDSA signature's r and s without padding them to the key's size, so about
// one P-256 signature in 128 (r or s a byte short) fails its check as a wrong
// signature of the chain: the Wine tests failed now and then on that.
const std::vector<std::string> kNewKey = {"-newkey", "rsa:2048", "-nodes"};

bool Openssl(std::vector<std::string> arguments, const std::vector<std::string>& environment = {}) {
  // Its progress dots and notes go nowhere.
  arguments.insert(arguments.begin(), {"sh", "-c", "exec \"$0\" \"$@\" >/dev/null 2>&1", "openssl"});
  const platform::testing::ProcessResult result =
      platform::testing::RunProcess(arguments, environment, kOpensslLimitMs);
  return result.exited && result.exit_code == 0;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TestCertificates::TestCertificates() {
  std::random_device random;
  dir_ = fs::temp_directory_path() / ("tallowmere-ca-" + std::to_string(random()));
  fs::create_directories(dir_);
  const std::string d = dir_.string();
  ok_ = Openssl(Join({"req", "-x509", "-days", "2", "-subj", "/CN=Tallowmere Test CA", "-keyout",
                      d + "/ca.key", "-out", d + "/ca.pem", "-addext",
                      "basicConstraints=critical,CA:TRUE", "-addext",
                      "keyUsage=critical,keyCertSign,cRLSign"},
                     kNewKey));
}

TestCertificates::~TestCertificates() {
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

TestCertificates::Files TestCertificates::Issue(const std::string& name,
                                                const std::string& alt_names, Kind kind) {
  const std::string base = (dir_ / name).string();
  const Files files{base + ".pem", base + ".key"};
  const std::string subject = "/CN=" + name;
  bool made;
  if (kind == Kind::kSelfSigned) {
    made = Openssl(Join({"req", "-x509", "-days", "2", "-subj", subject, "-keyout", base + ".key",
                         "-out", base + ".pem", "-addext", "subjectAltName=" + alt_names},
                        kNewKey));
  } else {
    WriteFileBytes(base + ".ext", "subjectAltName=" + alt_names + "\n"
                                  "extendedKeyUsage=serverAuth\n");
    // An expired certificate is issued on a clock set back to 2020, for a day.
    std::vector<std::string> environment;
    if (kind == Kind::kExpired) {
      environment = {"LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                     "FAKETIME=@2020-01-01 00:00:00"};
    }
    std::random_device random;
    made = Openssl(Join({"req", "-new", "-subj", subject, "-keyout", base + ".key", "-out",
                         base + ".csr"},
                        kNewKey)) &&
           Openssl({"x509", "-req", "-in", base + ".csr", "-CA", ca_file().string(), "-CAkey",
                    (dir_ / "ca.key").string(), "-set_serial", std::to_string(random()),
                    "-days", kind == Kind::kExpired ? "1" : "2", "-extfile", base + ".ext",
                    "-out", base + ".pem"},
                   environment);
  }
  if (!made) return {};
  fs::permissions(files.key, fs::perms::owner_read | fs::perms::owner_write);
  return files;
}

}  // namespace testing_support
