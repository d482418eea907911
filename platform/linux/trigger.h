#pragma once

#include <string>
#include <string_view>

// `tavrik-agent --trigger push|pull|status`: a press delivered over a Unix socket
// in $XDG_RUNTIME_DIR, for desktops that bind commands, not hotkeys.
namespace tavrik::trigger {

// Serves the socket from the event loop; quiet without XDG_RUNTIME_DIR.
// False, told on standard error, when this user's agent already answers
// there: this one must not start.
bool listen();
// A line written at start, for --trigger status to repeat.
void keep(std::string_view line);
bool listening();
// True once a trigger has arrived for this user (the bindings work), as
// noted in $XDG_STATE_HOME/tavrik/trigger-used.
bool triggerUsedBefore();
// At an orderly exit: the socket goes with the agent.
void stop();

// The client: delivers one press to the agent of this user, or prints its
// start-up lines; the exit status.
int send(std::string_view action);

}  // namespace tavrik::trigger
