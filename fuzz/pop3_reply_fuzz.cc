// The handling of the provider's POP3 replies: the message count of the STAT
// reply, the multi-line reply received in chunks, and the listing line before
// a position. Input: one byte that sets the chunk sizes, one for the
// position, then the bytes the server sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "gateway/pop3/conversation.h"
#include "gateway/pop3/pop3.h"
#include "platform/env.h"

namespace {

// A server that sends the given bytes in chunks of the given sizes, then
// closes.
class ChunkedServer : public platform::EnvWrapper {
 public:
  ChunkedServer() : EnvWrapper(platform::Env::Default()) {}
  void Serve(std::string_view bytes, std::vector<int> chunks) {
    bytes_ = bytes;
    chunks_ = std::move(chunks);
    next_ = 0;
  }
  int Receive(platform::Socket, char* buffer, int length) override {
    FUZZ_CHECK(length >= 1 && length <= kPopBufferSize);
    if (bytes_.empty()) return 0;
    const std::size_t take = std::min({bytes_.size(), static_cast<std::size_t>(length),
                                       static_cast<std::size_t>(chunks_[next_++ % chunks_.size()])});
    std::copy_n(bytes_.data(), take, buffer);
    bytes_.remove_prefix(take);
    return static_cast<int>(take);
  }

 private:
  std::string_view bytes_;
  std::vector<int> chunks_;
  std::size_t next_ = 0;
};

// The end of a multi-line reply in a whole stream: the index of the byte
// after the carriage return that ends the first line of a single full stop
// (the three states of the detector), the line feed that completes the reply.
std::optional<std::size_t> ReferenceEnd(std::string_view stream) {
  int state = 0;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    const char c = stream[i];
    if (state == 2 && c == '\r') return i + 1;
    state = state == 0 ? (c == '\n' ? 1 : 0) : state == 1 && c == '.' ? 2 : 0;
  }
  return std::nullopt;
}

void CheckMultiLine(std::string_view stream, std::uint8_t seed) {
  static ChunkedServer server;
  std::vector<int> chunks;
  for (int k = 0; k < 7; ++k) chunks.push_back(1 + (seed * (k + 3) * 37 + k * k) % kPopBufferSize);
  server.Serve(stream, chunks);
  const std::size_t first_chunk = std::min(stream.size(), static_cast<std::size_t>(chunks[0]));
  std::string received;
  platform::Env* previous = platform::SetEnv(&server);
  char buffer[kPopBufferSize];
  int last_size = 0;
  const MultiLineResult result = ReadMultiLine(buffer, [&](const char* bytes, int length) {
    received.append(bytes, static_cast<std::size_t>(length));
    last_size = length;
  });
  platform::SetEnv(previous);

  std::string translated(stream);
  std::replace(translated.begin(), translated.end(), '\x1a', ' ');
  if (!IsPositive(stream.data(), static_cast<int>(first_chunk))) {
    FUZZ_CHECK(result == (stream.empty() ? MultiLineResult::kClosed : MultiLineResult::kProtocolError));
    FUZZ_CHECK(received.empty());
    return;
  }
  // Every chunk is handed on whole, Ctrl-Z read as a blank, up to the chunk
  // that holds the end; when the chunk that held the CR ended there, the end
  // comes alone, in a receive of one byte.
  FUZZ_CHECK(std::string_view(translated).starts_with(received));
  const std::optional<std::size_t> end = ReferenceEnd(translated);
  if (end && *end < translated.size()) {
    FUZZ_CHECK(result == MultiLineResult::kComplete);
    FUZZ_CHECK(received.size() > *end);
    const std::size_t last_start = received.size() - static_cast<std::size_t>(last_size);
    FUZZ_CHECK(last_start <= *end);
    if (last_start == *end) FUZZ_CHECK(last_size == 1);
  } else {
    FUZZ_CHECK(result == MultiLineResult::kClosed);
    FUZZ_CHECK(received == translated);
  }
}

void CheckLineBefore(const std::string& text, std::size_t position) {
  const std::string line = LineBeforePosition(text, position);
  std::size_t begin = position;
  while (begin > 0 && text[begin - 1] != '\n') --begin;
  if (begin > 0) --begin;  // the line feed itself comes with the line
  FUZZ_CHECK(line == text.substr(begin, position - begin));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  const int count = ParseStatCount(text);
  if (text.find("+OK") == std::string::npos) FUZZ_CHECK(count == -1);

  CheckMultiLine(text, data[0]);
  CheckLineBefore(text, text.empty() ? 0 : data[1] % (text.size() + 1));
  return 0;
}
