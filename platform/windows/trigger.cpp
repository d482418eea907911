// `tavrik-agent --trigger push|pull` on Windows, for bindings that run a
// command: one request per connection over a named pipe, as over the Unix
// socket elsewhere ("push\n" or "pull\n", answered "ok\n" or "refused\n";
// "status\n", answered with the lines written at start and an empty one).
// The pipe is named for the user and the session, only this logon session
// may open it, and each side checks that the other runs as the same user.
#include "platform/windows/trigger.h"

#include <sddl.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/app.h"
#include "platform/hotkeys.h"
#include "platform/stderr.h"
#include "platform/windows/programs.h"
#include "platform/windows/text.h"

namespace tavrik::platform {
namespace {

// How long either side waits for the other's few bytes.
constexpr ULONGLONG kAnswerTimeout = 2000;
// Clients being read at once; one that says nothing costs a thread for
// at most kAnswerTimeout, and beyond this many a new one is turned away.
constexpr int kMaxPending = 64;

std::atomic<int> pending{0};
bool serving = false;
// What --trigger status answers, written by the main thread.
std::mutex reportMutex;
std::string report;

std::vector<BYTE> tokenInformation(HANDLE process, TOKEN_INFORMATION_CLASS kind) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<BYTE> data(size);
  if (size == 0 || !::GetTokenInformation(token, kind, data.data(), size, &size)) data.clear();
  ::CloseHandle(token);
  return data;
}

std::wstring sidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return {};
  std::wstring out(text);
  ::LocalFree(text);
  return out;
}

std::wstring userOf(HANDLE process) {
  const auto user = tokenInformation(process, TokenUser);
  if (user.empty()) return {};
  return sidText(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
}

const std::wstring& ourUser() {
  static const std::wstring user = userOf(::GetCurrentProcess());
  return user;
}

bool runsAsUs(ULONG pid) {
  if (ourUser().empty()) return false;
  if (pid == ::GetCurrentProcessId()) return true;
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  const bool same = userOf(process) == ourUser();
  ::CloseHandle(process);
  return same;
}

std::wstring pipeName() {
  DWORD session = 0;
  if (ourUser().empty() || !::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) return {};
  return L"\\\\.\\pipe\\tavrik-agent-" + ourUser() + L"-" + std::to_wstring(session);
}

std::string shown(const std::wstring& name) { return narrow(name).value_or("tavrik-agent"); }

// Open to the logon session's SID alone (the user's SID where the token
// names none).
std::optional<SECURITY_ATTRIBUTES> sessionOnly() {
  std::wstring allowed = ourUser();
  const auto groups = tokenInformation(::GetCurrentProcess(), TokenGroups);
  if (!groups.empty()) {
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
      if ((list->Groups[i].Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID) {
        allowed = sidText(list->Groups[i].Sid);
        break;
      }
    }
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;  // kept for every instance to come
  const std::wstring rules = L"D:P(A;;GA;;;" + allowed + L")";
  if (allowed.empty() || !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                             rules.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return std::nullopt;
  }
  return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
}

HANDLE newInstance(const std::wstring& name, SECURITY_ATTRIBUTES& access, bool first) {
  return ::CreateNamedPipeW(
      name.c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, 64, 64, 0, &access);
}

// One read or write, given up at the deadline; the bytes moved.
std::optional<DWORD> transfer(HANDLE pipe, bool write, char* data, DWORD size, ULONGLONG deadline) {
  OVERLAPPED io{};
  io.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (io.hEvent == nullptr) return std::nullopt;
  BOOL ok = write ? ::WriteFile(pipe, data, size, nullptr, &io)
                  : ::ReadFile(pipe, data, size, nullptr, &io);
  if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (::WaitForSingleObject(io.hEvent, left) != WAIT_OBJECT_0) ::CancelIoEx(pipe, &io);
    ok = TRUE;
  }
  DWORD done = 0;
  ok = ok && ::GetOverlappedResult(pipe, &io, &done, TRUE);
  ::CloseHandle(io.hEvent);
  if (!ok) return std::nullopt;
  return done;
}

// Up to a line feed, within the deadline.
std::string readLine(HANDLE pipe, ULONGLONG deadline, bool whole = false) {
  std::string line;
  char buf[256];
  while ((whole ? !line.ends_with("\n\n") : line.find('\n') == std::string::npos) &&
         line.size() < (whole ? 4096 : 64)) {
    const auto n = transfer(pipe, false, buf, whole ? sizeof buf : 64, deadline);
    if (!n || *n == 0) break;
    line.append(buf, *n);
  }
  if (whole) return line.ends_with("\n\n") ? line.substr(0, line.size() - 1) : std::string();
  return line.substr(0, line.find('\n'));
}

void serveClient(HANDLE pipe, HWND agent, UINT press) {
  const ULONGLONG deadline = ::GetTickCount64() + kAnswerTimeout;
  ULONG pid = 0;
  const bool us = ::GetNamedPipeClientProcessId(pipe, &pid) && runsAsUs(pid);
  const std::string request = us ? readLine(pipe, deadline) : std::string();
  const WPARAM id = request == "push" ? 1 : request == "pull" ? 2 : 0;
  std::string reply = id == 0 ? "refused\n" : "ok\n";
  if (request == "status") {
    std::lock_guard lock(reportMutex);
    reply = (report.empty() ? "tavrik: đang khởi động\n" : report) + "\n";
  }
  const auto sent = transfer(pipe, true, reply.data(), static_cast<DWORD>(reply.size()), deadline);
  if (!us) writeStderr("tavrik: từ chối lệnh --trigger của người dùng khác\n");
  // Pressed as a hotkey would be: during a run it is dropped, like a press.
  // A client that stopped waiting was told that nothing happened.
  if (id != 0 && sent.value_or(0) == reply.size()) ::PostMessageW(agent, press, id, 0);
  // Unread bytes die with our end: keep it until the client has read and closed.
  char rest[64];
  while (transfer(pipe, false, rest, sizeof rest, deadline).value_or(0) > 0) {
  }
}

void acceptClients(std::wstring name, SECURITY_ATTRIBUTES access, HANDLE pipe, HWND agent,
                   UINT press) {
  for (;;) {
    OVERLAPPED io{};
    io.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL connected = io.hEvent != nullptr && ::ConnectNamedPipe(pipe, &io);
    if (!connected && ::GetLastError() == ERROR_IO_PENDING) {
      DWORD unused = 0;
      connected = ::GetOverlappedResult(pipe, &io, &unused, TRUE);
    } else if (!connected && ::GetLastError() == ERROR_PIPE_CONNECTED) {
      connected = TRUE;
    }
    if (io.hEvent != nullptr) ::CloseHandle(io.hEvent);
    if (connected && pending < kMaxPending) {
      ++pending;
      try {
        std::thread([pipe, agent, press] {
          serveClient(pipe, agent, press);
          ::CloseHandle(pipe);
          --pending;
        }).detach();
        pipe = nullptr;
      } catch (const std::system_error&) {
        --pending;
      }
    }
    if (pipe != nullptr) ::CloseHandle(pipe);
    pipe = newInstance(name, access, false);
    if (pipe == INVALID_HANDLE_VALUE) {
      writeStderr("tavrik: --trigger ngừng nhận: " + systemMessage(::GetLastError()) + "\n");
      return;
    }
  }
}

}  // namespace

bool listenForTriggers(HWND agent, UINT press) {
  const std::wstring name = pipeName();
  auto access = sessionOnly();
  if (name.empty() || !access) {
    writeStderr("tavrik: không dựng được ống --trigger: " + systemMessage(::GetLastError()) + "\n");
    return true;
  }
  // An agent already answering is this user's agent in this session: a
  // second one would only fight it for the keys. Windows also refuses a
  // second first instance; Wine does not, hence the knock.
  HANDLE knock =
      ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
  const bool answered = knock != INVALID_HANDLE_VALUE || ::GetLastError() == ERROR_PIPE_BUSY;
  ULONG pid = 0;
  if (knock != INVALID_HANDLE_VALUE) {
    if (!::GetNamedPipeServerProcessId(knock, &pid)) pid = 0;
    ::CloseHandle(knock);
  }
  const std::string taken = "tavrik: tavrik-agent đang chạy rồi (pid " +
                            (pid != 0 ? std::to_string(pid) : std::string("?")) +
                            ", nhận --trigger ở " + shown(name) + "); bản này thoát\n";
  if (answered) {
    writeStderr(taken);
    return false;
  }
  HANDLE first = newInstance(name, *access, true);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    writeStderr(error == ERROR_ACCESS_DENIED
                    ? taken
                    : "tavrik: không mở được " + shown(name) + ": " + systemMessage(error) + "\n");
    return error != ERROR_ACCESS_DENIED;
  }
  try {
    std::thread(acceptClients, name, *access, first, agent, press).detach();
    serving = true;
  } catch (const std::system_error& e) {
    ::CloseHandle(first);
    writeStderr(std::string("tavrik: không tạo được luồng cho --trigger: ") + e.what() + "\n");
  }
  return true;
}

void keepForStatus(std::string_view line) {
  std::lock_guard lock(reportMutex);
  report += line;
}

std::string triggerProgram() {
  if (!serving) return {};
  return narrow(ownPath()).value_or("tavrik-agent.exe");
}

// Hotkeys are always there to claim on Windows: no advice to remember.
bool triggerUsedBefore() { return false; }

int sendTrigger(std::string_view action) {
  const bool status = action == "status";
  if (action != "push" && action != "pull" && !status) {
    writeStderr("tavrik: --trigger cần push, pull hoặc status\n");
    return 2;
  }
  const std::wstring name = pipeName();
  const ULONGLONG deadline = ::GetTickCount64() + kAnswerTimeout;
  const std::string late =
      "tavrik-agent không trả lời lệnh --trigger " + std::string(action) + "\n";
  HANDLE pipe = INVALID_HANDLE_VALUE;
  while (!name.empty()) {
    // Identification only: the agent may learn who we are, not act as us.
    pipe = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                         nullptr);
    if (pipe != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_PIPE_BUSY) break;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) {
      writeStderr(late);
      return 1;
    }
    ::WaitNamedPipeW(name.c_str(), static_cast<DWORD>(deadline - now));
  }
  if (pipe == INVALID_HANDLE_VALUE) {
    writeStderr("tavrik: không thấy tavrik-agent nào đang chạy (" + shown(name) + ")\n");
    return 1;
  }
  ULONG pid = 0;
  if (!::GetNamedPipeServerProcessId(pipe, &pid) || !runsAsUs(pid)) {
    ::CloseHandle(pipe);
    writeStderr("tavrik: " + shown(name) + " thuộc người dùng khác\n");
    return 1;
  }
  std::string request = std::string(action) + "\n";
  transfer(pipe, true, request.data(), static_cast<DWORD>(request.size()), deadline);
  const std::string reply = readLine(pipe, deadline, status);
  ::CloseHandle(pipe);
  if (reply == "ok") return 0;
  if (status && !reply.empty()) {
    DWORD written = 0;
    return ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), reply.data(),
                       static_cast<DWORD>(reply.size()), &written, nullptr) &&
                   written == reply.size()
               ? 0
               : 1;
  }
  // Silence until the deadline is not a refusal: the agent is stuck.
  const bool silent = reply.empty() && ::GetTickCount64() >= deadline;
  writeStderr(silent ? late : "tavrik-agent từ chối lệnh --trigger " + std::string(action) + "\n");
  return 1;
}

}  // namespace tavrik::platform
