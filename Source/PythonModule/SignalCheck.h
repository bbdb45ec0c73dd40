#pragma once

namespace Vantrel::HolvaneApi {

// Lets a pending signal (Ctrl-C) end a blocking call. The plug-in asks
// checkSignals now and then while a caller's thread waits without the
// interpreter lock; it takes the lock briefly and runs the signal handlers.
// When a handler raises, the exception stays set on the calling thread, the
// plug-in abandons the operation, and the binding re-raises the exception
// once the call has returned (raiseIfInterrupted).
class SignalCheck {
public:
    // The plug-in's interrupt check; `context` is unused.
    static bool checkSignals(void* context);
    // Interpreter lock not held: if a signal handler raised on this thread
    // during the call, takes the lock and throws that exception.
    static void raiseIfInterrupted();
    // True while this thread runs signal handlers from inside a waiting call;
    // calls into a connection are refused then (the waiting call may hold
    // the connection's locks).
    static bool runningHandlers();
    // Once the interpreter is shutting down the check never takes the lock.
    static void stopAll() noexcept;
};

} // namespace Vantrel::HolvaneApi
