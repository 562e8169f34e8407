#include "services/file/file_service.h"

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>

#include "support/temp_dir.h"
#include "support/run_awaitable.h"

namespace lumora::services {
namespace {

using testing_support::contentOf;
using testing_support::TempDir;

using testing_support::runAwaitable;

// The service answers on the caller's executor with what the operations produce, errors
// included, and logs each listing.
TEST(FileServiceTest, OperationsRunOnTheWorkerPoolAndReportBack) {
  boost::asio::io_context io;
  boost::asio::thread_pool pool(2);
  FileService service(pool.get_executor());
  TempDir dir;
  EXPECT_EQ(service.name(), "file-service");

  ::testing::internal::CaptureStdout();
  runAwaitable(io, service.start());
  runAwaitable(io, service.writeChunk(dir / "f", {'h', 'i'}, 0, true));
  auto entries = runAwaitable(io, service.list(dir.path().string()));
  std::string log = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].size, 2);
  EXPECT_NE(log.find("[INFO] file: file-service started"), std::string::npos) << log;
  EXPECT_NE(log.find("[INFO] file: file list: path=" + dir.path().string() + " names=1 entries=1"),
            std::string::npos)
      << log;

  auto chunk = runAwaitable(io, service.readChunk(dir / "f", 1, std::nullopt));
  EXPECT_EQ(chunk, (FileService::Chunk{{'i'}, 2, true}));
  EXPECT_THROW(runAwaitable(io, service.remove(dir / "missing")), std::system_error);
  pool.join();
}

}  // namespace
}  // namespace lumora::services
