// What the demo's daemons (ksx_demo_server, ksx_demo_client) share: the
// demo's service and domain, event lines on stdout, and stopping on
// SIGINT/SIGTERM through the engine's KRNStopNet.
#pragma once

#include <csignal>
#include <cstdarg>
#include <cstdio>

#include "CKesSockEngine.h"

namespace ksxdemo {

inline const char* const kService = "DemoEcho";
inline const char* const kDomain = "Demo";

inline CKesSockEngine* g_engine = nullptr;  // set before the handlers are installed

// One event line, "@<text>"; a single write under the stream's lock keeps lines whole.
inline void Emit(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void Emit(const char* format, ...) {
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

inline void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace ksxdemo
