#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/app.h"

int main(int argc, char** argv) {
  // As the agent does: a tool that stops reading must not kill us.
  tavrik::platform::prepareProcess();
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  // The files test::tempPath named for this process.
  const std::string ours = "tavrik-" + std::to_string(::getpid()) + "-";
  std::error_code ignored;
  for (const auto& e :
       std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
    if (e.path().filename().string().starts_with(ours)) std::filesystem::remove_all(e, ignored);
  }
  return status;
}
