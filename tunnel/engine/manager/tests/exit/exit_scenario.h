#pragma once
// A running tunnel of the tdl_ family that the program then leaves without stopping or
// dropping it, to see what the family's exit-time destructor does.
//
// exit_scenario_start builds the simulated host (one adapter with only a link-local
// IPv4 address, so that the tunnel switches addresses on it), creates and starts a
// tunnel through the exports on the scripted engine, and registers, before the
// family's manager exists, an exit handler that runs after the manager's exit-time
// destructor. That handler writes one line to the report file and ends the process
// at once with exit_scenario_reported:
//   "undone=U silent=S family=F ending=E live=L registrations=R"
// U: the host network is as before the start; S: nothing was logged after the start;
// F: the family still answers; E: the process was ending; L: engine tunnels not freed;
// R: interface-change registrations left.
#ifdef EXIT_SCENARIO_LIBRARY
#define EXIT_SCENARIO_API extern "C" __declspec(dllexport)
#else
#define EXIT_SCENARIO_API extern "C"
#endif

inline constexpr unsigned exit_scenario_reported = 0x5A;

// 0 when the tunnel runs with its address switching in place; another value names the
// step that failed.
EXIT_SCENARIO_API int exit_scenario_start(const wchar_t* report_path);

// The same with an active tunnel of the tdlp_ family: the simulated virtual adapter
// driver loaded, the tunnel started and activated by a handshake response, so that the
// virtual adapter holds the tunnel's address, NameServer value and routes and is
// activated. U then tells whether those are undone (the host network, the NameServer
// values and the activation as before the start); F is the tdlp_ family's.
EXIT_SCENARIO_API int exit_scenario_start_dual(const wchar_t* report_path);

// After exit_scenario_start_dual: a drop whose registration cannot be cancelled; 0 when done.
EXIT_SCENARIO_API int exit_scenario_drop_dual_refused();
