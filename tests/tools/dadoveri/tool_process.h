// Running the dadoveri tool as a process in tool tests: its exit status and both outputs,
// with sanitizer findings failing the test rather than passing as an exit status of 1.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/engine/test_support.h"

namespace dadoveri::testing {

struct ToolResult {
  int status;  // exit status; -1 when the tool did not exit normally (a crash)
  std::string out;
  std::string err;
};

// `s` quoted for the shell.
inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs the tool with `args`, its standard input read from `input_file` (empty: nothing),
// its outputs caught in files of `folder`.
inline ToolResult RunTool(const TempFolder& folder, const std::vector<std::string>& args,
                          const std::string& input_file = "") {
  std::string command = "ASAN_OPTIONS=exitcode=86 UBSAN_OPTIONS=halt_on_error=1:exitcode=87 " +
                        ShellQuote(DADOVERI_TOOL_PATH);
  for (const auto& a : args) command += " " + ShellQuote(a);
  const std::string out = folder.File("stdout"), err = folder.File("stderr");
  command += " >" + ShellQuote(out) + " 2>" + ShellQuote(err);
  command += " <" + ShellQuote(input_file.empty() ? std::string("/dev/null") : input_file);
  const int raw = std::system(command.c_str());
  ToolResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  const auto o = ReadWholeFile(out), e = ReadWholeFile(err);
  r.out.assign(o.begin(), o.end());
  r.err.assign(e.begin(), e.end());
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
  return r;
}

}  // namespace dadoveri::testing
