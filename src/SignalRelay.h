#pragma once

namespace velk {

namespace data {
class LogWrapper;
}

// Carries signal notices from handlers to a thread of its own that writes the warning lines,
// so a handler never takes the logger's lock or allocates. One per process; the pipe stays
// open for the process's life so that a late handler never writes to a reused descriptor.
class SignalRelay {
  public:
    enum Kind { kExit = 1, kOrder = 2 };

    // Starts the relay thread; notices sent before this are dropped.
    static bool start(data::LogWrapper* log);
    // Writes the pending lines, then ends the relay thread.
    static void stop();
    // Async-signal-safe.
    static void notify(Kind kind, int signalNumber);
};

}  // namespace velk
