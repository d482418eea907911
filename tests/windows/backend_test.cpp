// Runs under Wine: the Windows backend's keys, queues, clipboard and entry.
#include <windows.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "hotkeys/hotkey_spec.h"
#include "platform/app.h"
#include "platform/hotkeys.h"
#include "platform/pasteboard.h"
#include "platform/process.h"
#include "platform/queues.h"
#include "platform/windows/feedback.h"
#include "platform/windows/keys.h"
#include "platform/windows/programs.h"
#include "platform/windows/text.h"
#include "platform/windows/window.h"
#include "tests/harness/wine_tray.h"

namespace tavrik {
namespace {

using namespace platform;

// Once per process: the window the clipboard and hotkeys belong to.
class Backend : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(makeApplication());
    // Wine starts its clipboard service at the first use, which can take
    // longer than a read may: once, before any test reads.
    writePasteboardText("warm-up");
    for (int i = 0; i < 30 && std::holds_alternative<ReadFailure>(readPasteboardText()); ++i) {
    }
  }
};

using Read = std::variant<PasteboardText, ReadFailure>;

// A read where no owner stalls: Wine may ask its X side, which a loaded
// machine can keep past one read's bound; the answer is waited for.
Read settledRead() {
  auto r = readPasteboardText();
  for (int i = 0; i < 10 && r == Read(ReadFailure::kNoAnswer); ++i) r = readPasteboardText();
  return r;
}

std::string besideTests(const wchar_t* relative) {
  return *narrow(ownDirectory() + L"\\" + relative);
}

// A run that must end by itself: its exit (one that did not fails the test).
ToolExit ran(const std::string& program, const std::vector<std::string>& args,
             const RunExtras& extras = {}) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = runTool(program, argv, std::nullopt, {}, extras);
  if (auto* done = std::get_if<ToolExit>(&r)) return std::move(*done);
  ADD_FAILURE() << program << " did not run to its end";
  return {-1, "", "", ""};
}

// A directory whose node.exe is the stand-in: the only PATH of a run.
std::wstring nodeDirectory() {
  wchar_t temp[MAX_PATH];
  const std::wstring dir = std::wstring(temp, ::GetTempPathW(MAX_PATH, temp)) + L"tavrik nút";
  ::CreateDirectoryW(dir.c_str(), nullptr);
  ::CopyFileW(widen(besideTests(L"tool.exe")).c_str(), (dir + L"\\node.exe").c_str(), FALSE);
  return dir;
}

TEST_F(Backend, HotkeysMapToWindowsKeysAndASecondClaimIsRefused) {
  const auto mapped = [](std::uint32_t code, std::uint32_t mods) {
    const auto k = windowsHotkey(code, mods);
    return k ? std::pair(k->modifiers, k->virtualKey) : std::pair(0u, 0u);
  };
  EXPECT_EQ(mapped(8, kModControl | kModOption),
            std::pair(unsigned{MOD_CONTROL | MOD_ALT}, unsigned{'C'}));
  EXPECT_EQ(mapped(111, kModCommand | kModShift),
            std::pair(unsigned{MOD_WIN | MOD_SHIFT}, unsigned{VK_F12}));
  EXPECT_EQ(mapped(29, kModControl).second, unsigned{'0'});
  EXPECT_FALSE(windowsHotkey(10, kModControl));  // no such key in the table

  EXPECT_EQ(registerHotKey(8, kModControl | kModOption | kModShift, {0, 1}), 0);
  EXPECT_EQ(registerHotKey(8, kModControl | kModOption | kModShift, {0, 2}),
            ERROR_HOTKEY_ALREADY_REGISTERED);
}

TEST_F(Backend, JobsRunInOrderOnTheLoopAndTimersAfterTheirDelay) {
  std::vector<std::string> order;
  const DWORD loop = ::GetCurrentThreadId();
  postMainAfter(std::chrono::milliseconds(50), [&] {
    order.push_back("timer");
    postMain([] { ::PostQuitMessage(0); });
  });
  postMain([&] { order.push_back("first"); });
  postBackground([&, loop] {
    const bool off = ::GetCurrentThreadId() != loop;
    postMain([&, off] { order.push_back(off ? "from the worker" : "worker on main"); });
  });
  postMain([&] { order.push_back("second"); });
  EXPECT_EQ(runEventLoop(), 0);
  // The worker's job may come anywhere before the timer's.
  EXPECT_EQ(std::erase(order, "from the worker"), 1u);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "timer"}));
}

// What another program would put on the clipboard, as UTF-16 units.
void copyAsAnotherProgram(const std::wstring& units) {
  ASSERT_TRUE(::OpenClipboard(nullptr) || (::Sleep(50), ::OpenClipboard(nullptr)));
  ::EmptyClipboard();
  HGLOBAL g = ::GlobalAlloc(GMEM_MOVEABLE, (units.size() + 1) * sizeof(wchar_t));
  auto* p = static_cast<wchar_t*>(::GlobalLock(g));
  std::copy(units.begin(), units.end(), p);
  p[units.size()] = L'\0';
  ::GlobalUnlock(g);
  ::SetClipboardData(CF_UNICODETEXT, g);
  ::CloseClipboard();
}

TEST_F(Backend, TheClipboardKeepsTextExactlyAndASecretIsMarkedAndClearedOnlyWhileOurs) {
  const std::string text = "Tiếng Việt có dấu\r\nline\n🇻🇳 e\xCC\x81";
  for (const bool secret : {false, true}) {
    ASSERT_TRUE(writePasteboardText(text, secret));
    EXPECT_EQ(settledRead(), Read(PasteboardText{text, secret}));
    for (const wchar_t* mark : {L"ExcludeClipboardContentFromMonitorProcessing",
                                L"CanIncludeInClipboardHistory", L"CanUploadToCloudClipboard"}) {
      EXPECT_EQ(::IsClipboardFormatAvailable(::RegisterClipboardFormatW(mark)) != 0, secret);
    }
  }
  clearPasteboardIfOurs();
  EXPECT_EQ(settledRead(), Read(ReadFailure::kNoText));

  ASSERT_TRUE(writePasteboardText("bí mật", true));
  copyAsAnotherProgram(L"của người dùng");
  clearPasteboardIfOurs();
  EXPECT_EQ(settledRead(), Read(PasteboardText{"của người dùng"}));

  copyAsAnotherProgram(std::wstring(L"lone ") + wchar_t(0xD800));  // invalid UTF-16
  EXPECT_EQ(settledRead(), Read(ReadFailure::kNoText));
}

TEST_F(Backend, BigTextsGoBothWaysAndAStalledOrHoldingOwnerCostsOnlyTheBound) {
  std::string big;
  while (big.size() < (5 << 20)) big += "Bảy sắc cầu vồng 🌈\r\n";
  ASSERT_TRUE(writePasteboardText(big));
  const std::string tool = besideTests(L"tool.exe");
  EXPECT_EQ(ran(tool, {"paste"}).out, big);
  copyAsAnotherProgram(widen(big + "!"));
  EXPECT_EQ(settledRead(), Read(PasteboardText{big + "!"}));

  // A delayed-render owner that does not answer while the read waits (a
  // window of this thread, which is busy waiting): the read gives up; once
  // the owner has answered, the clipboard works as before.
  HWND owner =
      ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_TRUE(::OpenClipboard(owner) && ::EmptyClipboard());
  ::SetClipboardData(CF_UNICODETEXT, nullptr);
  ::CloseClipboard();
  EXPECT_EQ(readPasteboardText(), Read(ReadFailure::kNoAnswer));
  for (MSG m; !::OpenClipboard(nullptr); ::Sleep(10)) {
    while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&m);
  }
  ::CloseClipboard();
  ::DestroyWindow(owner);

  // Held open by another thread for a moment, the clipboard is waited for;
  // held until the write has given up, it is a failure.
  for (const bool moment : {true, false}) {
    std::promise<void> open;
    std::promise<void> written;
    std::thread holder([&] {
      ::OpenClipboard(nullptr);
      open.set_value();
      if (moment) ::Sleep(150);
      if (!moment) written.get_future().wait();
      ::CloseClipboard();
    });
    open.get_future().wait();
    EXPECT_EQ(writePasteboardText(moment ? "sau một lát" : "quá lâu"), moment);
    written.set_value();
    holder.join();
  }
  EXPECT_EQ(settledRead(), Read(PasteboardText{"sau một lát"}));
}

// A command line without --cli: WithoutStandardErrorTheAgentWritesItsLinesToItsLog.
TEST_F(Backend, TheAgentTakesItsArgumentsInUtf16AndRefusesABadCommandLine) {
  const std::string agent = besideTests(L"..\\..\\bin\\tavrik-agent.exe");
  auto r = ran(agent, {"--cli", "t.js", "--copy", "ctrl+đ"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "Phím tắt không đọc được: ctrl+đ / ctrl+alt+b\n");

  // Node is the node.exe on PATH, and the agent says which, unless --node names one.
  const std::wstring dir = nodeDirectory();
  const RunExtras path{{"PATH=" + *narrow(dir)}, false};
  EXPECT_EQ(ran(agent, {"--cli", "t.js", "--paste", "x"}, path).err,
            "tavrik: node: " + *narrow(dir) + "\\node.exe (tìm thấy trên PATH)\n" +
                "Phím tắt không đọc được: ctrl+alt+c / x\n");
  EXPECT_EQ(ran(agent, {"--node", "n.exe", "--cli", "t.js", "--paste", "x"}, path).err,
            "Phím tắt không đọc được: ctrl+alt+c / x\n");
}

// What reached the notification area stand-in of this thread.
std::vector<test::Balloon> balloons;
LRESULT CALLBACK onTray(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_COPYDATA) return ::DefWindowProcW(w, message, wParam, lParam);
  if (const auto b = test::balloonIn(lParam)) balloons.push_back(*b);
  return TRUE;
}

TEST_F(Backend, NoticesReachTheNotificationAreaWholeOrCutAtACharacter) {
  HWND tray = test::makeTray(onTray);
  ASSERT_NE(tray, nullptr);
  // 64 units of title, 256 of body, terminators included: the emoji's two
  // units are kept or dropped together.
  const std::string longTitle = std::string(61, 't') + "😀x";
  ASSERT_TRUE(showBalloon(agentWindow(), {"Tiêu đề", "Thân \"bài\" \\ cuối", true}));
  ASSERT_TRUE(showBalloon(agentWindow(), {longTitle, std::string(300, 'b'), false}));
  removeNotificationIcon(agentWindow());
  ::DestroyWindow(tray);
  ASSERT_EQ(balloons.size(), 2u);
  EXPECT_EQ(balloons[0].title, L"Tiêu đề");
  EXPECT_EQ(balloons[0].body, L"Thân \"bài\" \\ cuối");
  EXPECT_FALSE(balloons[0].error);
  EXPECT_EQ(balloons[1].title, std::wstring(61, L't') + L"\u2026");
  EXPECT_EQ(balloons[1].body, std::wstring(254, L'b') + L"\u2026");
  EXPECT_TRUE(balloons[1].error);
}

TEST_F(Backend, TheStartupShortcutRecordsNodeAndKeepsEveryArgumentExact) {
  const std::string startup = besideTests(L"..\\..\\bin\\tavrik-startup.exe");
  const std::wstring dir = nodeDirectory();
  const RunExtras path{{"PATH=" + *narrow(dir)}, false};
  // The build tree has no companion at ..\share\tavrik: it must be named.
  auto r = ran(startup, {"add"}, path);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.ends_with("tavrik.js; cho biết bằng --cli\n"));
  const std::vector<std::string> given{"--cli", "C:\\thư mục \"lạ\"\\", "--copy", "ctrl+alt+f12"};
  std::vector<std::string> args{"add"};
  args.insert(args.end(), given.begin(), given.end());
  r = ran(startup, args, path);
  ASSERT_EQ(r.status, 0) << r.err;

  // show gives back the agent and each word exactly.
  const std::string shown = ran(startup, {"show"}).out;
  const std::string agent = shown.substr(0, shown.find('\n'));
  EXPECT_TRUE(agent.ends_with("\\tavrik-agent.exe"));
  EXPECT_NE(::GetFileAttributesW(widen(agent).c_str()), INVALID_FILE_ATTRIBUTES);
  std::string expected = agent + "\n--node\n" + *narrow(dir) + "\\node.exe\n";
  for (const auto& word : given) expected += word + "\n";
  EXPECT_EQ(shown, expected);

  for (int i = 0; i < 2; ++i) {  // gone, and a second removal is no error
    EXPECT_EQ(ran(startup, {"remove"}).status, 0);
    EXPECT_EQ(ran(startup, {"show"}).status, 1);
  }
}

TEST_F(Backend, WithoutStandardErrorTheAgentWritesItsLinesToItsLog) {
  wchar_t temp[MAX_PATH];
  const std::wstring dir = std::wstring(temp, ::GetTempPathW(MAX_PATH, temp)) + L"tavrik-log-test";
  ::CreateDirectoryW(dir.c_str(), nullptr);
  const std::wstring log = dir + L"\\tavrik\\tavrik-agent.log";
  ::DeleteFileW(log.c_str());
  ::SetEnvironmentVariableW(L"LOCALAPPDATA", dir.c_str());
  // As at login: no handles given, no console.
  const std::wstring agent = widen(besideTests(L"..\\..\\bin\\tavrik-agent.exe"));
  std::wstring line = L"\"" + agent + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  ASSERT_TRUE(::CreateProcessW(agent.c_str(), line.data(), nullptr, nullptr, FALSE,
                               DETACHED_PROCESS, nullptr, nullptr, &startup, &started));
  ::WaitForSingleObject(started.hProcess, 30000);
  DWORD code = 0;
  ::GetExitCodeProcess(started.hProcess, &code);
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  EXPECT_EQ(code, 2u);
  std::string written;
  if (FILE* f = _wfopen(log.c_str(), L"rb")) {
    char buf[256];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) written.append(buf, n);
    std::fclose(f);
  }
  EXPECT_EQ(written, "Thiếu --cli <đường dẫn tavrik.js>\n");
}

}  // namespace
}  // namespace tavrik
