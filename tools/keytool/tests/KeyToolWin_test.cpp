// kn-apikey.exe on Windows: the program itself against the real registry, with a key file whose
// path is outside ASCII (the command line is read as UTF-16), and the console's echo turned off
// while a key is typed.
// The registry seam's names come first: <windows.h> makes HKEY_LOCAL_MACHINE a macro.
#include "KNRegistry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "APIKeyCipher.h"
#include "KNOs.h"
#include "KNTestTempDir.h"
#include "KNWinText.h"
#include "KeyToolTerminal.h"
#include "agent_places.h"

namespace kn {
namespace {

ProgramResult keyTool(std::vector<std::string> args) {
  ProgramRun run;
  run.argv = {KN_APIKEY_PATH};
  run.argv.insert(run.argv.end(), args.begin(), args.end());
  return os().runProgram(run);
}

TEST(KeyToolWin, TheProgramStoresShowsAndClearsTheKeyInTheRegistry) {
  test::MachinePlaces places;
  test::TempDir dir;
  const std::string folder = dir / "Schl\xC3\xBC" "ssel";  // "Schlüssel"
  std::filesystem::create_directories(std::filesystem::path(win::widePath(folder)));
  const std::string keyFile = folder + "/key.txt";
  ASSERT_NO_THROW(writeFileWhole(os(), keyFile, "Org-Key_123\r\n"));

  EXPECT_TRUE(keyTool({"status"}).exitedWith(1));
  ProgramResult set = keyTool({"set", "--file", keyFile});
  ASSERT_TRUE(set.exitedWith(0)) << set.exitCode << " " << set.output;
  auto stored = registry()->readString(RegRoot::LocalMachine, "Software\\Kestrane\\.ak_zarodirazev\\zarodirazev",
                                       "value");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(decodeStoredAPIKey(*stored), "Org-Key_123");
  ProgramResult status = keyTool({"status"});
  EXPECT_TRUE(status.exitedWith(0));
  EXPECT_EQ(status.output, "an API key is stored for zarodirazev\r\n");
  EXPECT_TRUE(keyTool({"clear"}).exitedWith(0));
  EXPECT_TRUE(keyTool({"status"}).exitedWith(1));
}

// Standard input from a console: echo off inside, as it was afterwards. From a pipe or file: no
// console, nothing changed.
TEST(KeyToolWin, EchoIsOffWhileAKeyIsTypedAtTheConsole) {
  const HANDLE previous = ::GetStdHandle(STD_INPUT_HANDLE);
  EXPECT_EQ(withInputEchoOff([](bool terminal) { return terminal ? 1 : 0; }), 0) << "not a console";

  // A console of the test's own (Wine gives a program started from a shell one that has no input).
  ::FreeConsole();
  const bool own = ::AllocConsole() != 0;
  HANDLE console = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  if (console == INVALID_HANDLE_VALUE) {
    if (own) ::FreeConsole();
    GTEST_SKIP() << "no console can be made here";
  }
  DWORD before = 0, inside = 0, after = 0;
  if (!::GetConsoleMode(console, &before)) {
    ::CloseHandle(console);
    if (own) ::FreeConsole();
    GTEST_SKIP() << "the console made here has no input mode (as Wine's console without a terminal)";
  }
  ::SetStdHandle(STD_INPUT_HANDLE, console);
  ::SetConsoleMode(console, before | ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT);
  ::GetConsoleMode(console, &before);
  int rc = withInputEchoOff([&](bool terminal) {
    ::GetConsoleMode(console, &inside);
    return terminal ? 7 : 0;
  });
  ::GetConsoleMode(console, &after);
  ::SetStdHandle(STD_INPUT_HANDLE, previous);
  ::CloseHandle(console);
  if (own) ::FreeConsole();

  EXPECT_EQ(rc, 7);
  EXPECT_TRUE(before & ENABLE_ECHO_INPUT);
  EXPECT_FALSE(inside & ENABLE_ECHO_INPUT);
  EXPECT_TRUE(inside & ENABLE_LINE_INPUT) << "a line is still read whole";
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace kn
