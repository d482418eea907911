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

TEST(CommandLine, DefaultsAndOverrides) {
  const auto s = read({"--cli", "/p/tavrik.js"});
  EXPECT_EQ(s.nodePath, "/usr/bin/env");
  EXPECT_EQ(s.cliPath, "/p/tavrik.js");
  EXPECT_EQ(s.copySpec, "ctrl+alt+c");
  EXPECT_EQ(s.pasteSpec, "ctrl+alt+b");

  const auto all = read({"--paste", "alt+space", "--node", "/usr/bin/node", "--copy",
                         "cmd+shift+f12", "--cli", "x.js"});
  EXPECT_EQ(all.nodePath, "/usr/bin/node");
  EXPECT_EQ(all.cliPath, "x.js");
  EXPECT_EQ(all.copySpec, "cmd+shift+f12");
  EXPECT_EQ(all.pasteSpec, "alt+space");
}

TEST(CommandLine, ReadStrictlyInPairs) {
  EXPECT_EQ(read({"--cli", "p", "--cli", "q"}).cliPath, "q");        // last wins
  EXPECT_EQ(read({"--cli", "--node"}).cliPath, "--node");            // value looks like an option
  EXPECT_EQ(read({"--cli", "p", "--copy"}).copySpec, "ctrl+alt+c");  // lone last name ignored
  EXPECT_EQ(read({"--copy", "t", "--cli"}).cliPath, "");             // no value for --cli
  EXPECT_EQ(read({"--copy", "t", "--cli"}).copySpec, "t");
  EXPECT_EQ(read({"-u", "--cli", "p"}).cliPath, "");  // unknown name swallows --cli
  EXPECT_EQ(read({"--CLI", "p"}).cliPath, "");        // case matters
  EXPECT_EQ(read({"-cli", "p"}).cliPath, "");
  EXPECT_EQ(read({"---cli", "p"}).cliPath, "");
  EXPECT_EQ(read({"--cli=p"}).cliPath, "");                // no joined form
  EXPECT_EQ(read({"--cli=p", "--cli", "q"}).cliPath, "");  // ...and it swallows --cli
  EXPECT_EQ(read({"--cli", ""}).cliPath, "");
  EXPECT_EQ(read({"--cli", "   "}).cliPath, "   ");  // kept verbatim
  EXPECT_EQ(read({"--cli", "~/t.js"}).cliPath, "~/t.js");
  EXPECT_EQ(read({"--copy", " Ctrl+X ", "--cli", "p"}).copySpec, " Ctrl+X ");
  EXPECT_EQ(read({}).cliPath, "");
}

TEST(CommandLine, EmptyArgumentListHasNoProgramPath) {
  const std::vector<std::string> none;
  EXPECT_EQ(readCommandLine(none).cliPath, "");
}

}  // namespace
}  // namespace tavrik
