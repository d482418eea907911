// Starting programs on Windows: CreateProcessW with only the pipes
// inherited, the tool and all it starts in a job object.
#include "platform/process.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/output_sink.h"
#include "platform/windows/text.h"

namespace tavrik::platform {
namespace {

// After the tool has exited, output still in flight gets this long.
constexpr DWORD kAfterExitMs = 200;

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void reset() {
    if (h_ != nullptr) ::CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

// Our end stays ours; the child's end is made inheritable, and only the
// handles listed at CreateProcessW are actually inherited.
struct Pipe {
  Handle read;
  Handle write;
};
bool makePipe(Pipe& p, bool childReads) {
  HANDLE r = nullptr, w = nullptr;
  if (!::CreatePipe(&r, &w, nullptr, 0)) return false;
  p.read = Handle(r);
  p.write = Handle(w);
  return ::SetHandleInformation(childReads ? r : w, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

LaunchError lastError() { return LaunchError{systemMessage(::GetLastError())}; }

// Our environment with `extra` ("NAME=value") in place of any variable of
// the same name (names compare without case, as Windows does).
std::wstring environmentWith(const std::vector<std::string>& extra) {
  std::vector<std::wstring> added;
  for (const auto& e : extra) added.push_back(widen(e));
  const auto nameOf = [](std::wstring_view v) { return v.substr(0, v.find(L'=', 1) + 1); };
  const auto same = [](std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return std::towupper(x) == std::towupper(y); });
  };
  std::wstring block;
  wchar_t* ours = ::GetEnvironmentStringsW();
  for (const wchar_t* v = ours; v != nullptr && *v != L'\0'; v += std::wcslen(v) + 1) {
    const std::wstring_view name = nameOf(v);
    if (std::none_of(added.begin(), added.end(),
                     [&](const std::wstring& a) { return same(nameOf(a), name); })) {
      block.append(v).push_back(L'\0');
    }
  }
  if (ours != nullptr) ::FreeEnvironmentStringsW(ours);
  for (const auto& a : added) block.append(a).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// Reads a pipe to its end into `sink`, then signals `ended`; on overflow
// signals `full` and stops.
void collect(HANDLE from, Sink& sink, HANDLE full, HANDLE ended) {
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(from, buf, sizeof buf, &n, nullptr) && n > 0) {
    sink.add(buf, n);
    if (sink.overflow()) {
      ::SetEvent(full);
      break;
    }
  }
  ::SetEvent(ended);
}

}  // namespace

void prepareProcess() {}

std::variant<ToolExit, LaunchError, ToolStopped> runTool(
    const std::string& path, const std::vector<std::string>& argv,
    const std::optional<std::string>& stdinBytes, const RunLimits& limits,
    const RunExtras& extras) {
  Pipe in, out, err, meta;
  if (!makePipe(out, false) || !makePipe(err, false)) return lastError();
  if (extras.metaPipe && !makePipe(meta, false)) return lastError();
  if (stdinBytes) {
    if (!makePipe(in, true)) return lastError();
  } else {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    in.read = Handle(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr));
    if (!in.read) return lastError();
  }

  HANDLE inherited[] = {in.read.get(), out.write.get(), err.write.get(), meta.write.get()};
  const std::size_t inheritedCount = meta.write ? 4 : 3;
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributeBytes(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBytes.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return lastError();
  struct Attributes {
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    ~Attributes() { ::DeleteProcThreadAttributeList(list); }
  } attributesOwner{attributes};
  if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   inheritedCount * sizeof(HANDLE), nullptr, nullptr)) {
    return lastError();
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = in.read.get();
  startup.StartupInfo.hStdOutput = out.write.get();
  startup.StartupInfo.hStdError = err.write.get();
  startup.lpAttributeList = attributes;
  // Descriptor 3 the way the C runtime hands descriptors to a child: a
  // count, a flag byte each, then the handles, packed.
  std::vector<BYTE> descriptors;
  if (meta.write) {
    constexpr BYTE kOpen = 0x01, kPipe = 0x08, kDevice = 0x40;
    const int count = 4;
    const BYTE flags[] = {static_cast<BYTE>(kOpen | (stdinBytes ? kPipe : kDevice)), kOpen | kPipe,
                          kOpen | kPipe, kOpen | kPipe};
    descriptors.resize(sizeof count + count * (1 + sizeof(HANDLE)));
    std::memcpy(descriptors.data(), &count, sizeof count);
    std::memcpy(descriptors.data() + sizeof count, flags, sizeof flags);
    std::memcpy(descriptors.data() + sizeof count + count, inherited, sizeof inherited);
    startup.StartupInfo.cbReserved2 = static_cast<WORD>(descriptors.size());
    startup.StartupInfo.lpReserved2 = descriptors.data();
  }

  // The job ends the whole tree: at the deadline, and when we close it.
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return lastError();
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION killOnClose{};
  killOnClose.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &killOnClose,
                            sizeof killOnClose);

  const std::wstring program = widen(path);
  std::wstring line = commandLine(argv);
  std::wstring environment = extras.env.empty() ? std::wstring() : environmentWith(extras.env);
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT |
                            CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(), nullptr,
                        &startup.StartupInfo, &started)) {
    return lastError();
  }
  Handle process(started.hProcess);
  Handle thread(started.hThread);
  ::AssignProcessToJobObject(job.get(), process.get());
  ::ResumeThread(thread.get());
  in.read.reset();
  out.write.reset();
  err.write.reset();
  meta.write.reset();

  Handle full(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle outEnded(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle errEnded(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle metaEnded(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!full || !outEnded || !errEnded || !metaEnded) {
    ::TerminateJobObject(job.get(), 1);
    return lastError();
  }
  Sink outSink{{}, limits.outTailOnly ? limits.tail : limits.maxOut, limits.outTailOnly};
  Sink errSink{{}, limits.tail, true};
  std::thread outReader(collect, out.read.get(), std::ref(outSink), full.get(), outEnded.get());
  std::thread errReader(collect, err.read.get(), std::ref(errSink), full.get(), errEnded.get());
  // Drained so the tool never waits on it; only its end is kept.
  Sink metaSink{{}, kMetaTail, true};
  std::thread metaReader;
  if (meta.read) {
    metaReader =
        std::thread(collect, meta.read.get(), std::ref(metaSink), full.get(), metaEnded.get());
  }
  std::thread feeder;
  if (stdinBytes) {
    feeder = std::thread([&] {
      std::string_view pending = *stdinBytes;
      DWORD n = 0;
      while (!pending.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(pending.size(), 1 << 20));
        if (!::WriteFile(in.write.get(), pending.data(), chunk, &n, nullptr))
          break;  // it stopped reading
        pending.remove_prefix(n);
      }
      in.write.reset();
    });
  }

  std::optional<ToolStopped::Why> stopped;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limits.timeout).count();
  const HANDLE waits[] = {process.get(), full.get()};
  switch (::WaitForMultipleObjects(2, waits, FALSE,
                                   static_cast<DWORD>(std::min<long long>(ms, 0x7FFFFFFE)))) {
    case WAIT_OBJECT_0:
      break;
    case WAIT_OBJECT_0 + 1:
      stopped = ToolStopped::Why::kOutputTooLarge;
      break;
    default:
      stopped = ToolStopped::Why::kTimedOut;
  }
  if (!stopped) {
    // What it left behind may still hold the outputs: a moment, then the job.
    const HANDLE ends[] = {outEnded.get(), errEnded.get()};
    ::WaitForMultipleObjects(2, ends, TRUE, kAfterExitMs);
  }
  // Ends the tool (if still running) and all it started; the pipes then close.
  ::TerminateJobObject(job.get(), 1);
  outReader.join();
  errReader.join();
  if (metaReader.joinable()) metaReader.join();
  if (feeder.joinable()) feeder.join();
  if (stopped) return ToolStopped{*stopped};
  DWORD code = 255;
  ::GetExitCodeProcess(process.get(), &code);
  outSink.finish();
  errSink.finish();
  metaSink.finish();
  return ToolExit{static_cast<std::int32_t>(code), std::move(outSink.bytes),
                  std::move(errSink.bytes), std::move(metaSink.bytes)};
}

std::optional<LaunchError> unreadable(const std::string& path) {
  const HANDLE file = ::CreateFileW(widen(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LaunchError{systemMessage(::GetLastError())};
  ::CloseHandle(file);
  return std::nullopt;
}

std::optional<LaunchError> spawnDetached(const std::string& path,
                                         const std::vector<std::string>& argv) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  const std::wstring program = widen(path);
  std::wstring line = commandLine(argv);
  if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &started)) {
    return lastError();
  }
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return std::nullopt;
}

}  // namespace tavrik::platform
