// TLS on a connected socket with Schannel, through SSPI. The records go
// through the plain socket calls, so every wait keeps the socket's silence
// limit. Schannel is told to leave the server's certificate alone; it is
// verified here, chain and name, against the system's store or against the
// certificates of the CA file. A socket whose handshake or transfer failed
// keeps its broken session: later sends and receives fail instead of going
// out in clear text.
#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/win32/win32_env.h"

namespace platform {

namespace {

constexpr DWORD kWsaEconnaborted = WSAECONNABORTED;
// The SSL policy's checks to leave out (fdwChecks; wininet.h names them).
constexpr DWORD kIgnoreUnknownCa = 0x00000100;      // SECURITY_FLAG_IGNORE_UNKNOWN_CA
constexpr DWORD kIgnoreCertCnInvalid = 0x00001000;  // SECURITY_FLAG_IGNORE_CERT_CN_INVALID
// Records are at most 16 KB plus their framing.
constexpr int kReadChunk = 17 * 1024;
constexpr int kMaxHandshakeRounds = 64;

thread_local std::string tls_failure;

int Fail(const std::string& cause, DWORD code) {
  tls_failure = cause;
  SetLastError(code);
  return kSocketError;
}

std::string Hex(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

// Words for a status of SSPI or of the certificate checks.
std::string Describe(DWORD code) {
  static const std::map<DWORD, const char*> known = {
      {static_cast<DWORD>(CERT_E_EXPIRED), "the certificate has expired or is not yet valid"},
      {static_cast<DWORD>(CERT_E_UNTRUSTEDROOT), "the chain ends in a root that is not trusted"},
      {static_cast<DWORD>(CERT_E_CHAINING), "the chain cannot be built to a trusted root"},
      {static_cast<DWORD>(CERT_E_CN_NO_MATCH), "the certificate is not issued to the server's name"},
      {static_cast<DWORD>(CERT_E_WRONG_USAGE), "the certificate is not for a server"},
      {static_cast<DWORD>(TRUST_E_CERT_SIGNATURE), "a signature of the chain is wrong"},
      {static_cast<DWORD>(SEC_E_ALGORITHM_MISMATCH), "no protocol version or cipher in common"},
      {static_cast<DWORD>(SEC_E_ILLEGAL_MESSAGE), "the server sent a message that is not TLS"},
      {static_cast<DWORD>(SEC_E_DECRYPT_FAILURE), "a record cannot be decrypted"},
      {static_cast<DWORD>(SEC_E_INTERNAL_ERROR), "the TLS library failed"},
  };
  auto it = known.find(code);
  if (it != known.end()) return std::string(it->second) + " (" + Hex(code) + ")";
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string words = length != 0 && text != nullptr ? std::string(text, length) : "";
  if (text != nullptr) LocalFree(text);
  while (!words.empty() && std::strchr("\r\n .", words.back()) != nullptr) words.pop_back();
  return words.empty() ? "error " + Hex(code) : words + " (" + Hex(code) + ")";
}

struct Session {
  CredHandle credentials{};
  bool have_credentials = false;
  CtxtHandle context{};
  bool have_context = false;
  SecPkgContext_StreamSizes sizes{};
  std::string incoming;  // received, not yet decrypted
  std::string plain;     // decrypted, not yet handed out
  bool broken = true;    // until the handshake and the checks succeed

  ~Session() {
    if (have_context) DeleteSecurityContext(&context);
    if (have_credentials) FreeCredentialsHandle(&credentials);
  }
};

class Sessions {
 public:
  Session* Open(Socket socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = sessions_[socket];
    slot = std::make_unique<Session>();
    return slot.get();
  }
  Session* Find(Socket socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(socket);
    return it == sessions_.end() ? nullptr : it->second.get();
  }
  void Forget(Socket socket) {
    std::unique_ptr<Session> session;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(socket);
    if (it == sessions_.end()) return;
    session = std::move(it->second);
    sessions_.erase(it);
  }

 private:
  std::mutex mutex_;
  std::map<Socket, std::unique_ptr<Session>> sessions_;
};

Sessions& AllSessions() {
  static Sessions* sessions = new Sessions;
  return *sessions;
}

// A failed transfer of the socket itself: the cause from its last error.
int SocketFailure(Session& session) {
  session.broken = true;
  const DWORD code = GetLastError();
  tls_failure = code == WSAETIMEDOUT ? "no answer within the silence limit"
                                     : "the connection failed: " + Describe(code);
  return kSocketError;
}

// Receives more records into session.incoming: the bytes received, 0 when
// the server closed, kSocketError.
int ReadMore(Socket socket, Session& session) {
  std::string chunk(kReadChunk, '\0');
  const int got = PlainReceive(socket, chunk.data(), kReadChunk);
  if (got == kSocketError) return SocketFailure(session);
  session.incoming.append(chunk.data(), static_cast<std::size_t>(std::max(got, 0)));
  return got;
}

int Handshake(Socket socket, Session& session, const std::string& sni) {
  const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                       ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                       ISC_REQ_MANUAL_CRED_VALIDATION;
  SEC_CHAR* target = sni.empty() ? nullptr : const_cast<SEC_CHAR*>(sni.c_str());
  for (int round = 0; round < kMaxHandshakeRounds; ++round) {
    SecBuffer in[2] = {
        {static_cast<unsigned long>(session.incoming.size()), SECBUFFER_TOKEN,
         session.incoming.data()},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
    unsigned long attributes = 0;
    const bool first = !session.have_context;
    const SECURITY_STATUS status = InitializeSecurityContextA(
        &session.credentials, first ? nullptr : &session.context, target, wanted, 0, 0,
        first ? nullptr : &in_desc, 0, first ? &session.context : nullptr, &out_desc,
        &attributes, nullptr);
    if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) {
      session.have_context = true;
    }
    if (out[0].pvBuffer != nullptr) {
      const bool sent =
          out[0].cbBuffer == 0 ||
          PlainSend(socket, static_cast<const char*>(out[0].pvBuffer),
                    static_cast<int>(out[0].cbBuffer)) != kSocketError;
      FreeContextBuffer(out[0].pvBuffer);
      if (!sent) return SocketFailure(session);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      const int got = ReadMore(socket, session);
      if (got == kSocketError) return kSocketError;
      if (got == 0) return Fail("connection closed by the server", WSAECONNRESET);
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED &&
        status != SEC_I_INCOMPLETE_CREDENTIALS) {
      return Fail(Describe(static_cast<DWORD>(status)), kWsaEconnaborted);
    }
    // A server that asks for a client certificate gets none: the same input
    // again.
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) continue;
    // What the call did not take belongs to the next message.
    if (!first) {
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
        session.incoming.erase(0, session.incoming.size() - in[1].cbBuffer);
      } else {
        session.incoming.clear();
      }
    }
    if (status == SEC_E_OK) return 0;
    if (status == SEC_I_CONTINUE_NEEDED && session.incoming.empty()) {
      const int got = ReadMore(socket, session);
      if (got == kSocketError) return kSocketError;
      if (got == 0) return Fail("connection closed by the server", WSAECONNRESET);
    }
  }
  return Fail("the handshake does not end", kWsaEconnaborted);
}

// The certificates of a PEM file in a store of their own; null with the
// cause set when none can be read.
HCERTSTORE LoadCaFile(const std::string& path, std::string* cause) {
  std::ifstream file(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file.good() && !file.eof()) {
    *cause = "cannot load the CA file " + path + ": cannot be read";
    return nullptr;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  int loaded = 0;
  static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
  static const std::string kEnd = "-----END CERTIFICATE-----";
  for (std::size_t at = text.find(kBegin); store != nullptr && at != std::string::npos;
       at = text.find(kBegin, at + 1)) {
    const std::size_t end = text.find(kEnd, at);
    if (end == std::string::npos) break;
    const DWORD length = static_cast<DWORD>(end + kEnd.size() - at);
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr)) {
      continue;
    }
    std::string der(size, '\0');
    if (CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER,
                             reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                         reinterpret_cast<const BYTE*>(der.data()), size,
                                         CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++loaded;
    }
  }
  if (loaded == 0) {
    if (store != nullptr) CertCloseStore(store, 0);
    *cause = "cannot load the CA file " + path + ": " +
             (text.empty() ? "cannot be read" : "no certificate found");
    return nullptr;
  }
  return store;
}

// The status code of the first fault of a chain's error flags.
DWORD ChainFault(DWORD flags) {
  static const std::pair<DWORD, HRESULT> kFaults[] = {
      {CERT_TRUST_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE},
      {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED},
      {CERT_TRUST_IS_REVOKED, CRYPT_E_REVOKED},
      {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE},
      {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT},
      {CERT_TRUST_IS_PARTIAL_CHAIN, CERT_E_CHAINING},
  };
  for (const auto& [flag, code] : kFaults) {
    if (flags & flag) return static_cast<DWORD>(code);
  }
  return static_cast<DWORD>(CERT_E_CHAINING);
}

// True when the certificate names the IPv4 address among its subject's
// alternative names.
bool HasIpAddress(PCCERT_CONTEXT certificate, std::uint32_t address) {
  const CERT_INFO* info = certificate->pCertInfo;
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            entry.IPAddress.cbData == sizeof address &&
            std::memcmp(entry.IPAddress.pbData, &address, sizeof address) == 0;
  }
  LocalFree(names);
  return found;
}

// Verifies the server's certificate: its chain to a trusted root (one of
// the CA file's when it is given), its time, its use, and the name. "" when
// all hold, otherwise the cause.
std::string VerifyServer(Session& session, const std::string& server_name,
                         const std::string& ca_file, bool by_address, std::uint32_t address) {
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesA(&session.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
          SEC_E_OK ||
      certificate == nullptr) {
    return "the server sent no certificate";
  }
  std::string cause;
  HCERTSTORE anchors = nullptr;
  HCERTSTORE others = certificate->hCertStore;
  if (!ca_file.empty()) {
    anchors = LoadCaFile(ca_file, &cause);
    if (anchors == nullptr) {
      CertFreeCertificateContext(certificate);
      return cause;
    }
    others = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    CertAddStoreToCollection(others, certificate->hCertStore, 0, 0);
    CertAddStoreToCollection(others, anchors, 0, 0);
  }

  LPSTR server_use[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA chain_para{};
  chain_para.cbSize = sizeof chain_para;
  chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
  chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = server_use;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, others, &chain_para, 0, nullptr,
                               &chain)) {
    cause = "certificate verify failed: " + Describe(GetLastError());
  }

  DWORD ignore = 0;
  DWORD allowed = 0;
  if (cause.empty() && anchors != nullptr) {
    // The CA file replaces the system's store: the chain must end in one of
    // its certificates, which is then trusted although Windows does not.
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    PCCERT_CONTEXT anchor = CertFindCertificateInStore(anchors, X509_ASN_ENCODING, 0,
                                                       CERT_FIND_EXISTING, root, nullptr);
    if (anchor == nullptr) {
      cause = "certificate verify failed: the chain does not end in a certificate of " + ca_file;
    } else {
      CertFreeCertificateContext(anchor);
      ignore = kIgnoreUnknownCa;
      allowed = CERT_TRUST_IS_UNTRUSTED_ROOT;
    }
  }
  // The chain's own verdict first: the SSL policy alone lets some of its
  // faults pass.
  if (cause.empty()) {
    const DWORD faults = chain->TrustStatus.dwErrorStatus & ~allowed;
    if (faults != 0) cause = "certificate verify failed: " + Describe(ChainFault(faults));
  }

  if (cause.empty()) {
    std::wstring wide(server_name.begin(), server_name.end());
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // An address is matched below, against the addresses of the names.
    ssl.fdwChecks = ignore | (by_address ? kIgnoreCertCnInvalid : 0);
    ssl.pwszServerName = by_address ? nullptr : wide.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
      cause = "certificate verify failed: " + Describe(GetLastError());
    } else if (status.dwError != 0) {
      cause = "certificate verify failed: " + Describe(status.dwError);
    } else if (by_address && !HasIpAddress(certificate, address)) {
      cause = "certificate verify failed: the certificate is not issued to the server's address";
    }
  }

  if (chain != nullptr) CertFreeCertificateChain(chain);
  if (anchors != nullptr) {
    CertCloseStore(others, 0);
    CertCloseStore(anchors, 0);
  }
  CertFreeCertificateContext(certificate);
  return cause;
}

}  // namespace

int SystemEnv::StartTls(Socket socket, const std::string& server_name,
                       const std::string& ca_file) {
  // Until all succeeds the socket carries nothing in clear text.
  Session& session = *AllSessions().Open(socket);
  u_long waiting = 0;
  if (ioctlsocket(static_cast<SOCKET>(socket), FIONREAD, &waiting) == 0 && waiting > 0) {
    return Fail("data received in clear text before the handshake", kWsaEconnaborted);
  }
  if (server_name.empty()) return Fail("no server name to verify", ERROR_INVALID_PARAMETER);
  const std::uint32_t address = inet_addr(server_name.c_str());
  const bool by_address = address != INADDR_NONE || server_name == "255.255.255.255";

  SCHANNEL_CRED credentials{};
  credentials.dwVersion = SCHANNEL_CRED_VERSION;
  credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  credentials.dwFlags =
      SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION | SCH_USE_STRONG_CRYPTO;
  const SECURITY_STATUS acquired = AcquireCredentialsHandleA(
      nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &credentials,
      nullptr, nullptr, &session.credentials, nullptr);
  if (acquired != SEC_E_OK) {
    return Fail("cannot set up TLS: " + Describe(static_cast<DWORD>(acquired)), kWsaEconnaborted);
  }
  session.have_credentials = true;

  if (Handshake(socket, session, by_address ? "" : server_name) == kSocketError) {
    return kSocketError;
  }
  const std::string cause = VerifyServer(session, server_name, ca_file, by_address, address);
  if (!cause.empty()) return Fail(cause, kWsaEconnaborted);
  const SECURITY_STATUS sized =
      QueryContextAttributesA(&session.context, SECPKG_ATTR_STREAM_SIZES, &session.sizes);
  if (sized != SEC_E_OK) return Fail(Describe(static_cast<DWORD>(sized)), kWsaEconnaborted);
  session.broken = false;
  return 0;
}

std::string SystemEnv::TlsFailureText() { return tls_failure; }

bool TlsSend(Socket socket, const char* data, int length, int* result) {
  Session* session = AllSessions().Find(socket);
  if (session == nullptr) return false;
  if (session->broken) {
    *result = Fail("the TLS session has failed", kWsaEconnaborted);
    return true;
  }
  const SecPkgContext_StreamSizes& sizes = session->sizes;
  int sent = 0;
  while (sent < length) {
    const unsigned long chunk =
        std::min<unsigned long>(static_cast<unsigned long>(length - sent), sizes.cbMaximumMessage);
    std::string record(sizes.cbHeader + chunk + sizes.cbTrailer, '\0');
    std::memcpy(record.data() + sizes.cbHeader, data + sent, chunk);
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {chunk, SECBUFFER_DATA, record.data() + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + chunk},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = EncryptMessage(&session->context, 0, &desc, 0);
    if (status != SEC_E_OK) {
      session->broken = true;
      *result = Fail(Describe(static_cast<DWORD>(status)), kWsaEconnaborted);
      return true;
    }
    const int total =
        static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    if (PlainSend(socket, record.data(), total) == kSocketError) {
      *result = SocketFailure(*session);
      return true;
    }
    sent += static_cast<int>(chunk);
  }
  *result = sent;
  return true;
}

bool TlsReceive(Socket socket, char* buffer, int length, int* result) {
  Session* session = AllSessions().Find(socket);
  if (session == nullptr) return false;
  if (session->broken) {
    *result = Fail("the TLS session has failed", kWsaEconnaborted);
    return true;
  }
  while (session->plain.empty()) {
    if (!session->incoming.empty()) {
      SecBuffer buffers[4] = {{static_cast<unsigned long>(session->incoming.size()),
                               SECBUFFER_DATA, session->incoming.data()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = DecryptMessage(&session->context, &desc, 0, nullptr);
      if (status == SEC_E_OK) {
        std::string extra;
        for (const SecBuffer& b : buffers) {
          if (b.BufferType == SECBUFFER_DATA) {
            session->plain.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
          } else if (b.BufferType == SECBUFFER_EXTRA) {
            extra.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
          }
        }
        session->incoming = std::move(extra);
        continue;
      }
      if (status == SEC_I_CONTEXT_EXPIRED) {  // the server's close_notify
        *result = 0;
        return true;
      }
      if (status != SEC_E_INCOMPLETE_MESSAGE) {
        session->broken = true;
        *result = Fail(status == SEC_I_RENEGOTIATE ? std::string("the server asked to renegotiate")
                                                   : Describe(static_cast<DWORD>(status)),
                       kWsaEconnaborted);
        return true;
      }
    }
    const int got = ReadMore(socket, *session);
    if (got <= 0) {
      *result = got;
      return true;
    }
  }
  const std::size_t count = std::min(session->plain.size(), static_cast<std::size_t>(length));
  std::memcpy(buffer, session->plain.data(), count);
  session->plain.erase(0, count);
  *result = static_cast<int>(count);
  return true;
}

void TlsForget(Socket socket) { AllSessions().Forget(socket); }

}  // namespace platform
