#include <gtest/gtest.h>

#include <filesystem>

#include "platform/app.h"
#include "tests/harness/test_support.h"

int main(int argc, char** argv) {
  // As the agent does: a tool that stops reading must not kill us.
  tavrik::platform::prepareProcess();
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  // Removes the files test::tempPath named for this process.
  const std::string ours = tavrik::test::tempPrefix();
  std::error_code ignored;
  for (const auto& e :
       std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
    if (e.path().filename().string().starts_with(ours)) std::filesystem::remove_all(e, ignored);
  }
  return status;
}
