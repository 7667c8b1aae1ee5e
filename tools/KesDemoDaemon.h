// What the demo's daemons (ksx_demo_server, ksx_demo_client) share: the
// demo's service and domain, event lines on stdout, and stopping on
// SIGINT/SIGTERM through the engine's KRNStopNet.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

#include "CKesSockEngine.h"

namespace ksxdemo {

inline const char* const kService = "DemoEcho";
inline const char* const kDomain = "Demo";

inline CKesSockEngine* g_engine = nullptr; // set before the handlers are installed

// One event line, "@<text>"; a single write under the stream's lock keeps lines whole.
inline void Emit(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void Emit(const char* format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stdout, "@%s\n", line);
    std::fflush(stdout);
}

// KRNStopNet only sets a flag and wakes the event loop: safe in a handler.
extern "C" inline void StopOnSignal(int) { g_engine->KRNStopNet(); }

inline void InstallStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Hands each command line read from stdin to handle, until stdin ends or a
// byte arrives on wakeFd (the daemon keeps running until a signal either way).
template <typename Handler>
void ReadCommands(int wakeFd, Handler handle)
{
    std::string pending;
    char buffer[256];
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue; // EINTR from the stop signal
        if (fds[1].revents) return;
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) return;
        pending.append(buffer, static_cast<size_t>(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            handle(pending.substr(0, end));
    }
}

// Runs the engine's event loop until a signal stops it, with a command
// thread of its own that hands each stdin line to handle. The thread and its
// wake-up pipe live only inside this call: the thread is woken and joined
// before the call returns. False when the pipe cannot be made.
template <typename Handler>
bool RunWithCommands(CKesSockEngine& engine, Handler handle)
{
    int wake[2];
    if (pipe(wake) != 0) return false;
    std::thread commands([wakeFd = wake[0], handle] { ReadCommands(wakeFd, handle); });
    engine.KRNStartNet(); // returns once a signal has called KRNStopNet
    Emit("stopping");
    (void)!write(wake[1], "x", 1);
    commands.join();
    close(wake[0]);
    close(wake[1]);
    return true;
}

} // namespace ksxdemo
