#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings.h"

namespace tavrik {
namespace {

Settings read(std::vector<std::string> args) {
  args.insert(args.begin(), "/opt/tavrik/bin/tavrik-agent");
  return readCommandLine(args);
}

// Every option and the defaults are used by the integration tests and the
// demonstration; here, the readings they never meet.
TEST(CommandLine, ReadStrictlyInPairs) {
  EXPECT_EQ(read({"--cli", "p", "--cli", "q"}).cliPath, "q");  // last wins
  EXPECT_EQ(read({"--cli", "--node"}).cliPath, "--node");      // value looks like an option
  EXPECT_EQ(read({"--copy", "t", "--cli"}).cliPath, "");       // no value for --cli
  EXPECT_EQ(read({"-u", "--cli", "p"}).cliPath, "");           // unknown name swallows --cli
  EXPECT_EQ(read({"--cli=p", "--cli", "q"}).cliPath, "");      // no joined form, and it swallows
  EXPECT_EQ(read({"--CLI", "p"}).cliPath, "");                 // case matters
}

}  // namespace
}  // namespace tavrik
