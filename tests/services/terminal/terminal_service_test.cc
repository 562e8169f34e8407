#include "services/terminal/terminal_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/envelope.h"
#include "protocol/limits.h"
#include "protocol/utf8.h"
#include "support/run_awaitable.h"

namespace lumora::services {
namespace {

using ::testing::EndsWith;
using testing_support::runAwaitable;

class TerminalServiceTest : public ::testing::Test {
 protected:
  CommandResult run(const std::string& command, const std::string& shell = "/bin/sh") {
    return runAwaitable(io_, service_.run(command, shell));
  }

  boost::asio::io_context io_;
  TerminalService service_{io_.get_executor()};
};

TEST_F(TerminalServiceTest, ExitCodeAndBothStreams) {
  EXPECT_EQ(run("printf 'hi\\n'; exit 3"), (CommandResult{3, "hi\n", ""}));
  EXPECT_EQ(run("echo out; echo err >&2; echo ünï >&2"), (CommandResult{0, "out\n", "err\nünï\n"}));
  // A shell killed by a signal reports 128 + the signal, as shells do.
  EXPECT_EQ(run("kill -9 $$").exitCode, 137);
  // Standard input is empty rather than the agent's own.
  EXPECT_EQ(run("cat; echo done").stdout, "done\n");
}

TEST_F(TerminalServiceTest, ALargeErrorStreamDoesNotStallTheOutputStream) {
  // Far beyond a pipe's buffer on stderr while stdout stays open: reading one stream to its end
  // before the other would never finish.
  CommandResult result = run("head -c 3000000 /dev/zero | tr '\\0' e >&2; echo finished");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.stdout, "finished\n");
  EXPECT_EQ(result.stderr.size(), 3000000u);
  EXPECT_EQ(result.stderr.find_first_not_of('e'), std::string::npos);
}

TEST_F(TerminalServiceTest, OutputIsAlwaysUtf8AndFitsInOneReply) {
  CommandResult invalid = run("printf 'ok\\377'; printf 'fine' >&2");
  EXPECT_EQ(invalid.stdout, "ok\xef\xbf\xbd");
  EXPECT_EQ(invalid.stderr, "fine");

  // Two-byte characters across the byte limit: the cut falls between whole characters.
  CommandResult huge = run("head -c 9000000 /dev/zero | tr '\\0' '\\n' | sed 's/^/\xc3\xa9/'");
  EXPECT_EQ(huge.exitCode, 0);
  EXPECT_LE(huge.stdout.size(), TerminalService::kMaxOutputBytes + 64);
  EXPECT_TRUE(protocol::isValidUTF8(huge.stdout));
  EXPECT_THAT(huge.stdout, EndsWith("[output truncated at 16777215 bytes]\n"));

  // Control characters take six bytes each in the reply: both streams full of them must still
  // make a reply the peer accepts.
  CommandResult control =
      run("head -c 16000000 /dev/zero | tr '\\0' '\\1' | tee /dev/stderr; exit 4");
  EXPECT_EQ(control.exitCode, 4);
  EXPECT_THAT(control.stderr, EndsWith(" bytes]\n"));
  const auto reply = protocol::Envelope::request(
      protocol::TerminalRunResult{control.exitCode, control.stdout, control.stderr});
  EXPECT_LE(reply.encode().size(), protocol::kMaxFrameBodyLength);
}

}  // namespace
}  // namespace lumora::services
