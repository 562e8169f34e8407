#include "app/agent_controller.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <vector>

#include "app/app_fakes.h"
#include "app/control_command.h"

namespace lumora::app {
namespace {

using Case = AgentController::Status::Case;

class AgentControllerTest : public ::testing::Test {
 protected:
  // Runs `task` as far as it goes without the test's help; true when it finished.
  template <class Task>
  std::future<void> launch(Task task) {
    auto done = boost::asio::co_spawn(io, std::move(task), boost::asio::use_future);
    io.poll();
    io.restart();
    return done;
  }
  static bool finished(std::future<void>& done) {
    return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }

  boost::asio::io_context io;
  std::shared_ptr<app_test::FakeAgentServer> server = std::make_shared<app_test::FakeAgentServer>();
  AgentController controller{server};
  std::vector<Case> seen;
  Subscription watching =
      controller.status().subscribe([this](const auto& status) { seen.push_back(status.which); });
};

TEST_F(AgentControllerTest, ASecondStartOrAToggleWhileStartingIsIgnored) {
  server->startGate.close();
  auto first = launch(controller.start());
  auto second = launch(controller.start());
  auto toggled = launch(controller.toggle());
  EXPECT_TRUE(finished(second) && finished(toggled));
  EXPECT_FALSE(finished(first));
  EXPECT_EQ(server->startCalls, 1);
  EXPECT_EQ(server->stopCalls, 0);

  server->startGate.open();
  io.run();
  EXPECT_EQ(controller.status().get(), AgentController::Status::serving(server->info));
  EXPECT_EQ(seen, (std::vector{Case::stopped, Case::starting, Case::serving}));
  launch(controller.start());
  EXPECT_EQ(server->startCalls, 1);
}

TEST_F(AgentControllerTest, AFailedStartShowsItsTextAndTheNextStartTriesAgain) {
  server->startFailure = "alreadyRunning";
  launch(controller.start());
  EXPECT_EQ(controller.status().get(), AgentController::Status::failed("alreadyRunning"));

  server->startFailure.reset();
  launch(controller.toggle());
  EXPECT_EQ(server->startCalls, 2);
  EXPECT_TRUE(controller.isServing());
}

TEST(ControlCommandTest, TheHostElseTheFirstPathSegmentNamesTheCommand) {
  const std::vector<std::pair<const char*, ControlCommand>> table = {
      {"lumora://start", ControlCommand::start},         {"lumora://Stop", ControlCommand::stop},
      {"lumora://QUIT?now=1", ControlCommand::quit},     {"other:stop/later", ControlCommand::stop},
      {"lumora://oauth/start", ControlCommand::unknown}, {"lumora:///", ControlCommand::unknown},
      {"lumora://st op", ControlCommand::unknown},
  };
  for (const auto& [url, command] : table) EXPECT_EQ(controlCommand(url), command) << url;
}

}  // namespace
}  // namespace lumora::app
