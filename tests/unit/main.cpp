#include <gtest/gtest.h>

#include "platform/app.h"

int main(int argc, char** argv) {
  // As the agent does: a tool that stops reading must not kill us.
  tavrik::platform::prepareProcess();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
