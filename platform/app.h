#pragma once

#include <string_view>

// The application object and its event loop.
namespace tavrik::platform {

// Once, before anything else touches signals: a tool that closes its
// standard input early must not kill the agent with SIGPIPE.
void prepareProcess();

// `tavrik-agent --trigger push|pull`: hands one press to the agent already
// running for this user; `--trigger status` prints the lines it wrote at
// start. The exit status (1 when there is none).
int sendTrigger(std::string_view action);

// A line the agent wrote at start, which `--trigger status` repeats.
void keepForStatus(std::string_view line);

// Makes the shared application object: a background application with no
// Dock icon or menu bar (on X11: the display connection), its queues, and
// the handling of SIGTERM, SIGINT and SIGHUP. False, told on standard
// error, when the queues cannot be made or this user's agent already runs
// in this session; a missing display is not that.
bool makeApplication();

// Runs the event loop on the main thread. Returns 0 once SIGTERM, SIGINT
// or SIGHUP arrived (and the clipboard was handed over where that is
// needed), non-zero when the loop broke.
int runEventLoop();

}  // namespace tavrik::platform
