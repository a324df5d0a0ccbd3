// Stopping cleanly when asked to: Ctrl-C, kill, or a terminal that closed.
#pragma once

namespace kelm {

/// Catches SIGINT, SIGTERM and SIGHUP, so that a run stops at its next
/// round, cuts its output back to a correct prefix and wipes its secrets
/// before it ends. A signal ignored when kelm started stays ignored. The
/// handler only records the signal, and interrupts a blocking read.
void catch_interrupts();

/// The signal that asked the run to stop, or 0 if none has.
int interrupt_received();

/// Ends the process by `signal` with that signal's default action, so that
/// the shell or script that started kelm sees how it ended.
[[noreturn]] void end_by_signal(int signal);

/// Keeps the process from writing a core dump, which could hold the key.
void forbid_core_dumps();

}  // namespace kelm
