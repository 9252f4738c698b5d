#include "gw-runner/tool_options.h"

#include <gtest/gtest.h>

namespace {

std::optional<std::string> refused(const char* tool, std::vector<std::string> words) {
  return refused_tool_word(tool, words);
}

TEST(ToolOptions, WhatAnOperatorUsesToLookAtTraffic) {
  EXPECT_EQ(refused("tcpdump", {"-n", "-i", "eth0", "-c", "10", "host", "10.0.0.1"}), std::nullopt);
  EXPECT_EQ(refused("tcpdump", {"-nnvX", "-ieth0", "-c10", "-s0", "port", "80"}), std::nullopt);
  EXPECT_EQ(refused("tcpdump", {"--interface=eth0", "--immediate-mode", "--snapshot-length", "96", "icmp"}),
            std::nullopt);
  EXPECT_EQ(refused("tcpdump", {"-i", "-w"}), std::nullopt) << "an interface named -w is an argument, not -w";
  EXPECT_EQ(refused("tcpdump", {"-n", "--", "-w", "/tmp/x"}), std::nullopt) << "after -- only expression words";
  EXPECT_EQ(refused("mtr", {"-r", "-w", "-c", "1", "-n", "10.0.0.1"}), std::nullopt) << "mtr's -w is a report";
  EXPECT_EQ(refused("mtr", {"--report", "--report-cycles=2", "--no-dns", "example.org"}), std::nullopt);
  EXPECT_EQ(refused("arping", {"-c", "1", "-I", "eth0", "-w", "2", "10.0.0.1"}), std::nullopt);
  EXPECT_EQ(refused("arping", {"-fqD", "-c1", "10.0.0.1"}), std::nullopt);
}

TEST(ToolOptions, OptionsThatWriteReadOrRunAreRefusedInEveryForm) {
  const std::vector<std::vector<std::string>> tcpdump_cases = {{"-w", "/tmp/x"},
                                                               {"-w/tmp/x"},
                                                               {"-nw", "/tmp/x"},
                                                               {"-nvw/tmp/x"},
                                                               {"-r", "/etc/shadow"},
                                                               {"-z", "/bin/sh"},
                                                               {"-Z", "root"},
                                                               {"-F", "/etc/shadow"},
                                                               {"-V", "/etc/shadow"},
                                                               {"-E", "file /etc/shadow"},
                                                               {"-C", "1"},
                                                               {"-G", "1"},
                                                               {"-W", "2"},
                                                               {"-M", "secret"},
                                                               {"-m", "/etc/shadow"},
                                                               {"-I"},
                                                               {"--relinquish-privileges=root"},
                                                               {"--relinq=root"},
                                                               {"--print"},
                                                               {"--count"},
                                                               {"--monitor-mode"},
                                                               {"host", "10.0.0.1", "-w", "/tmp/x"},
                                                               {"--number=3"},
                                                               {"-c"},
                                                               {"--interface"}};
  for (const auto& words : tcpdump_cases) EXPECT_TRUE(refused("tcpdump", words)) << words.front();
  EXPECT_EQ(refused("tcpdump", {"-n", "-nw", "/tmp/x"}), "-nw") << "the refused word is named";

  for (const auto& words : std::vector<std::vector<std::string>>{{"-F", "/etc/shadow"},
                                                                 {"--filename=/etc/shadow"},
                                                                 {"-M", "7"},
                                                                 {"--mark", "7"},
                                                                 {"-t"},
                                                                 {"--displaymode", "1"},
                                                                 {"-rF/etc/shadow"},
                                                                 {"--file=/etc/shadow"}})
    EXPECT_TRUE(refused("mtr", words)) << words.front();

  for (const auto& words : std::vector<std::vector<std::string>>{
           {"-U", "10.0.0.1"}, {"-A", "10.0.0.1"}, {"-s", "10.0.0.9", "10.0.0.1"}, {"-qU", "1"}, {"--help"}})
    EXPECT_TRUE(refused("arping", words)) << words.front();
}

TEST(ToolOptions, AnUnknownToolRefusesEverything) { EXPECT_EQ(refused("nc", {"-l", "9"}), "-l"); }

}  // namespace
