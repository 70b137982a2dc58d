#pragma once
// The program's entry: one instance at a time, then the commands install, uninstall,
// service and run.
#include "tunnel_family.h"

// The name of the single-instance mutex.
inline constexpr const wchar_t* single_instance_mutex_name = L"Global\\LorrivanClientService";

// Everything wmain does, with the two families of the tunnel library's exports.
// Returns the process exit code.
int client_main(int argc, wchar_t** argv, const tunnel_family& single, const tunnel_family& dual);

// Prints the usage text.
void print_usage();
