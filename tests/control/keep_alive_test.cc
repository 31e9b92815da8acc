// KeepAlive against the scripted SMTP server, with the pauses recorded on a
// clock of the test's own instead of slept.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/control/keep_alive.h"
#include "gateway/control/run_state.h"
#include "gateway/control/settings.h"
#include "platform/test_support.h"
#include "tests/support/scripted_smtp_server.h"

namespace {

using testing_support::ScriptedSmtpServer;
using testing_support::SmtpAction;
using testing_support::SmtpClientEnv;
using testing_support::SmtpScript;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Call = SmtpClientEnv::Call;

class KeepAliveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GatewaySettings;
    address_ = platform::testing::FreshLoopbackAddress({25});
    GatewaySettings.ExchangeServerAddress = env_.DottedToAddress(address_);
    KeepAliveActive = 1;
  }
  void TearDown() override {
    server_.reset();
    KeepAliveActive = 0;
    GatewaySettings = saved_;
  }

  ScriptedSmtpServer& Serve(SmtpScript script = SmtpScript()) {
    server_.reset();
    server_ = std::make_unique<ScriptedSmtpServer>(address_, std::move(script));
    return *server_;
  }
  // The download "ends" once the recorded pauses reach this many ms.
  void ClearFlagAfter(std::uint64_t ms) {
    env_.set_on_sleep([ms](std::uint64_t total) {
      if (total >= ms) KeepAliveActive = 0;
    });
  }

  SmtpClientEnv env_;
  std::string address_;
  std::unique_ptr<ScriptedSmtpServer> server_;
  GatewaySettingsRecord saved_;
};

TEST_F(KeepAliveTest, SendsHeloThenANoopEvery50SecondsThenQuit) {
  ScriptedSmtpServer& server = Serve();
  ClearFlagAfter(120000);  // a download of 120 s
  EXPECT_EQ(KeepAlive(7), 7);
  EXPECT_EQ(server.Transcript(0), "HELO ZUL\r\nNOOP\r\nNOOP\r\nNOOP\r\nQUIT\r\n");
  EXPECT_THAT(env_.sleeps(), ElementsAre(50000u, 50000u, 50000u));
  // Each NOOP at the pause total before it: 0, 50 and 100 s; QUIT at 150 s.
  std::vector<std::pair<std::uint64_t, std::string>> sends = env_.sends();
  EXPECT_THAT(sends, ElementsAre(std::pair<std::uint64_t, std::string>{0, "HELO ZUL\r\n"},
                                 std::pair<std::uint64_t, std::string>{0, "NOOP\r\n"},
                                 std::pair<std::uint64_t, std::string>{50000, "NOOP\r\n"},
                                 std::pair<std::uint64_t, std::string>{100000, "NOOP\r\n"},
                                 std::pair<std::uint64_t, std::string>{150000, "QUIT\r\n"}));
  EXPECT_THAT(env_.events(), IsEmpty());
}

TEST_F(KeepAliveTest, AFlagAlreadyClearAfterHeloSendsQuitAtOnce) {
  ScriptedSmtpServer& server = Serve();
  KeepAliveActive = 0;
  EXPECT_EQ(KeepAlive(1), 1);
  EXPECT_EQ(server.Transcript(0), "HELO ZUL\r\nQUIT\r\n");
  EXPECT_THAT(env_.sleeps(), IsEmpty());
}

TEST_F(KeepAliveTest, ARefusedGreetingIsIgnored) {
  ScriptedSmtpServer& server =
      Serve(SmtpScript().Greeting(SmtpAction::Reply("554 No service\r\n")));
  KeepAliveActive = 0;
  EXPECT_EQ(KeepAlive(1), 1);
  EXPECT_EQ(server.Transcript(0), "HELO ZUL\r\nQUIT\r\n");
  EXPECT_THAT(env_.events(), IsEmpty());
}

TEST_F(KeepAliveTest, ANoopAnswered421EndsWithoutQuit) {
  ScriptedSmtpServer& server =
      Serve(SmtpScript().On("NOOP", 1, SmtpAction::Reply("421 Service closing\r\n")));
  EXPECT_EQ(KeepAlive(1), -1);
  EXPECT_THAT(env_.messages(), ElementsAre(" - KeepAlive - Unable to NOOP"));
  EXPECT_EQ(server.Transcript(0), "HELO ZUL\r\nNOOP\r\nNOOP\r\n");
  EXPECT_THAT(env_.sleeps(), ElementsAre(50000u));
}

TEST_F(KeepAliveTest, AnUnreachableServerIsOneEntryAndTheThreadEnds) {
  // Nothing listens on the address. Started as main starts it.
  int result = 0;
  const platform::Thread thread = env_.StartThread([&] { result = KeepAlive(1); });
  ASSERT_NE(thread, 0u);
  env_.JoinThread(thread);
  EXPECT_EQ(result, -1);
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_EQ(env_.events()[0].type, platform::kEventlogErrorType);
  EXPECT_EQ(env_.events()[0].message, " - KeepAlive - Connect failed to Exchange Server");
  EXPECT_EQ(env_.events()[0].error_text, "Tallowmere error: 10061");
}

struct FailureCase {
  const char* name;
  std::function<void(SmtpScript&)> script;
  std::function<void(SmtpClientEnv&)> faults;
  std::string entry;      // after " - KeepAlive - "
  std::string transcript; // what the server received, when it was connected
};

TEST_F(KeepAliveTest, EachFailureWritesItsOwnEntryAndEndsTheThread) {
  const auto none = [](auto&) {};
  const auto on = [](std::string verb, SmtpAction action) {
    return [=](SmtpScript& script) { script.On(verb, action); };
  };
  const auto fail = [](Call call, int index) {
    return [=](SmtpClientEnv& env) { env.Fail(call, index, -1, 10055); };
  };
  const std::vector<FailureCase> cases = {
      // A reset right after the accept could fail the connect itself.
      {"greeting, error", none, fail(Call::kReceive, 0), "Recv failed - Initial", ""},
      {"greeting, closed", [](SmtpScript& s) { s.Greeting(SmtpAction::Close()); }, none,
       "Socket closed by remote", ""},
      {"helo, error", on("HELO", SmtpAction::Reset()), none, "Recv failed - HELO",
       "HELO ZUL\r\n"},
      {"helo, closed", on("HELO", SmtpAction::Close()), none, "Socket closed by remote",
       "HELO ZUL\r\n"},
      {"helo refused", on("HELO", SmtpAction::Reply("220 Hello\r\n")), none, "Unable to HELO",
       "HELO ZUL\r\n"},
      {"noop, error", on("NOOP", SmtpAction::Reset()), none, "Recv failed - NOOP",
       "HELO ZUL\r\nNOOP\r\n"},
      {"noop, closed", on("NOOP", SmtpAction::Close()), none, "Socket closed by remote",
       "HELO ZUL\r\nNOOP\r\n"},
      {"socket", none, fail(Call::kCreateSocket, 0), "Socket failed", ""},
      {"receive buffer", none, fail(Call::kReceiveBuffer, 0), "setsockopt(SO_RCVBUF)", ""},
      {"send buffer", none, fail(Call::kSendBuffer, 0), "setsockopt(SO_SNDBUF)", ""},
      // HELO, one NOOP, then QUIT: sends 0, 1 and 2.
      {"quit", none, fail(Call::kSend, 2), "Send failed - QUIT", "HELO ZUL\r\nNOOP\r\n"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    SmtpClientEnv env;
    env.set_on_sleep([](std::uint64_t) { KeepAliveActive = 0; });
    KeepAliveActive = 1;
    SmtpScript script;
    c.script(script);
    c.faults(env);
    ScriptedSmtpServer& server = Serve(script);
    EXPECT_EQ(KeepAlive(1), -1);
    ASSERT_EQ(env.events().size(), 1u);
    EXPECT_EQ(env.events()[0].type, platform::kEventlogErrorType);
    EXPECT_EQ(env.events()[0].message, " - KeepAlive - " + c.entry);
    if (server.ConnectionCount() > 0) {
      EXPECT_EQ(server.Transcript(0), c.transcript);
    }
  }
}

TEST_F(KeepAliveTest, TheSocketGetsTheSilenceLimit) {
  Serve();
  KeepAliveActive = 0;
  EXPECT_EQ(KeepAlive(1), 1);
  EXPECT_THAT(env_.requested_silence_limits(), ElementsAre(kSilenceLimitMs));
}

TEST_F(KeepAliveTest, AServerThatFallsSilentIsGivenUpAfterTheLimit) {
  ScriptedSmtpServer& server = Serve(SmtpScript().On("NOOP", 1, SmtpAction::Stall()));
  env_.set_silence_limit_ms(200);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(KeepAlive(1), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_EQ(env_.events()[0].message, " - KeepAlive - Recv failed - NOOP");
  EXPECT_EQ(env_.events()[0].error_text, "Tallowmere error: 10060");
  EXPECT_EQ(server.Transcript(0), "HELO ZUL\r\nNOOP\r\nNOOP\r\n");
}

TEST_F(KeepAliveTest, TheMainThreadStopsTheThreadThroughTheFlag) {
  // Pauses pass at once here, so NOOPs follow one another until the main
  // thread clears the flag; QUIT follows the last of them.
  ScriptedSmtpServer& server = Serve();
  int result = 0;
  const platform::Thread thread = env_.StartThread([&] { result = KeepAlive(1); });
  ASSERT_NE(thread, 0u);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (env_.sleeps().size() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  KeepAliveActive = 0;
  env_.JoinThread(thread);
  EXPECT_EQ(result, 1);
  std::string expected = "HELO ZUL\r\n";
  for (std::size_t i = 0; i < env_.sleeps().size(); ++i) expected += "NOOP\r\n";
  EXPECT_GE(env_.sleeps().size(), 3u);
  EXPECT_EQ(server.Transcript(0), expected + "QUIT\r\n");
}

TEST_F(KeepAliveTest, TheStopEndsAPauseUnderWayWithoutAnotherNoop) {
  // The real 50-second pause, ended by the main thread's stop: QUIT follows
  // at once, and no NOOP after the one before the pause.
  ScriptedSmtpServer& server = Serve();
  std::promise<void> noop_seen;
  server.OnCommand([&noop_seen, seen = false](const std::string& line) mutable {
    if (line == "NOOP" && !seen) {
      seen = true;
      noop_seen.set_value();
    }
  });
  env_.set_real_waits(true);
  KeepAliveStop = env_.NewEvent();
  ASSERT_NE(KeepAliveStop, 0u);
  std::promise<int> result;
  std::future<int> ended = result.get_future();
  const platform::Thread thread = env_.StartThread([&] { result.set_value(KeepAlive(1)); });
  ASSERT_NE(thread, 0u);
  ASSERT_EQ(noop_seen.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  StopKeepAlive();
  // Well inside the pause: the thread ends because it was told to.
  EXPECT_EQ(ended.wait_for(std::chrono::seconds(25)), std::future_status::ready);
  env_.JoinThread(thread);
  EXPECT_EQ(ended.get(), 1);
  EXPECT_EQ(server.Transcript(0), "HELO ZUL\r\nNOOP\r\nQUIT\r\n");
  env_.CloseEvent(KeepAliveStop);
  KeepAliveStop = 0;
}

// --- The "standard" smtpmode ---

TEST_F(KeepAliveTest, StandardModeReadsEveryReplyWhole) {
  GatewaySettings.smtpmode = SmtpMode::kStandard;
  env_.set_receive_limit(3);  // every reply in pieces, the codes split
  ScriptedSmtpServer& server =
      Serve(SmtpScript()
                .Greeting(SmtpAction::Reply("220-mail.example.com\r\n220 ready\r\n"))
                .On("HELO",
                    SmtpAction::Reply("250-mail.example.com\r\n250-SIZE\r\n250 8BITMIME\r\n"))
                .On("NOOP", SmtpAction::Reply("250-2.0.0 still\r\n250 2.0.0 OK\r\n")));
  ClearFlagAfter(100000);
  EXPECT_EQ(KeepAlive(1), 1);
  // Read one line at a time, "250-" lines would be taken for the replies to
  // the NOOPs that follow, and the conversation would fall out of step.
  EXPECT_EQ(server.Transcript(0), "HELO ZUL\r\nNOOP\r\nNOOP\r\nQUIT\r\n");
  EXPECT_THAT(env_.events(), IsEmpty());
}

TEST_F(KeepAliveTest, StandardModeWantsA220Greeting) {
  GatewaySettings.smtpmode = SmtpMode::kStandard;
  ScriptedSmtpServer& server =
      Serve(SmtpScript().Greeting(SmtpAction::Reply("220-hello\r\n554 5.7.1 not you\r\n")));
  EXPECT_EQ(KeepAlive(1), -1);
  EXPECT_THAT(env_.messages(), ElementsAre(" - KeepAlive - Bad greeting"));
  EXPECT_EQ(server.Transcript(0), "");
}

}  // namespace
