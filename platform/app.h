#pragma once

// The application object and its event loop.
namespace tavrik::platform {

// Once, before anything else touches signals: a tool that closes its
// standard input early must not kill the agent with SIGPIPE.
void prepareProcess();

// Makes the shared application object: a background application with no
// Dock icon or menu bar (on X11: the display connection).
void makeApplication();

// Runs the event loop on the main thread; returns only if the loop ends.
int runEventLoop();

}  // namespace tavrik::platform
