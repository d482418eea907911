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

TEST(CommandLine, ReadStrictlyInPairs) {
  const auto s = read({"--cli", "/p/tavrik.js"});
  EXPECT_EQ(s.nodePath, "/usr/bin/env");
  EXPECT_EQ(s.copySpec, "ctrl+alt+c");
  EXPECT_EQ(s.pasteSpec, "ctrl+alt+b");
  const auto all = read({"--paste", "alt+space", "--node", "/n", "--copy", " X ", "--cli", "x.js"});
  EXPECT_EQ(all.nodePath + all.cliPath + all.copySpec + all.pasteSpec, "/nx.js X alt+space");

  EXPECT_EQ(read({"--cli", "p", "--cli", "q"}).cliPath, "q");  // last wins
  EXPECT_EQ(read({"--cli", "--node"}).cliPath, "--node");      // value looks like an option
  EXPECT_EQ(read({"--copy", "t", "--cli"}).cliPath, "");       // no value for --cli
  EXPECT_EQ(read({"-u", "--cli", "p"}).cliPath, "");           // unknown name swallows --cli
  EXPECT_EQ(read({"--cli=p", "--cli", "q"}).cliPath, "");      // no joined form, and it swallows
  EXPECT_EQ(read({"--CLI", "p"}).cliPath, "");                 // case matters
}

}  // namespace
}  // namespace tavrik
