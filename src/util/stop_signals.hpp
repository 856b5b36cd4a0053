// stop_signals.hpp: SIGINT, SIGTERM and SIGHUP, with which hosts end a
// server while its input is still open, as requests to stop between two
// requests. They are held (blocked) for the whole run and let in only
// while the server waits for input, so a request in progress, an append
// and its syncs included, always completes; a server waiting for input
// stops at once. A signal that was ignored when the process started stays
// ignored. No state is kept outside the kernel's signal mask.
#pragma once

namespace vestigor_mcp {

// Blocks the stop signals and gives them a handler that does nothing but
// interrupt the wait. Call once, first thing.
void hold_stop_signals();

// Waits until `fd` can be read (input, its end, or an error for read to
// report). False when a stop signal arrived first.
bool wait_for_input(int fd);

// Whether a stop signal has arrived and waits, blocked.
bool stop_requested();

}  // namespace vestigor_mcp
