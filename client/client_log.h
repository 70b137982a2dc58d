#pragma once
// The client's one log sink. In the foreground the lines go to the standard output (a
// console gets them as wide text, a pipe or a file as UTF-8 bytes); in service
// mode to lorrivan-vpn-client.log under the common application data folder (the folder
// is created when missing). Every line is the local time, a blank and the text.
#include <atomic>
#include <string>

// True when the program runs as the Windows service (the first argument is "service");
// set by the service's start before any line is logged.
extern std::atomic<bool> running_as_service;

// The current local time as "%Y-%m-%d %X"; empty when the time cannot be converted.
std::string log_timestamp();

// Writes one line and flushes it. Matches the tunnel library's log callback and may be
// called from any thread; lines never interleave.
void log_message(const char* text);

// The log file's full name: the common application data folder, then
// "\Brennick\Lorrivan VPN Client\lorrivan-vpn-client.log"; the bare file name when the
// folder cannot be obtained.
std::string log_file_name();
