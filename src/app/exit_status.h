// How a run of the tool ended, and the exit status that says so. Every
// command, the job, each action and the shell, ends with an outcome; this is
// the one place where an outcome becomes an exit status.
#pragma once

enum class RunOutcome {
  Succeeded,  // the job, or the action, did what was asked
  Failed,     // it ran and did not succeed (a stopped job too)
  Refused,    // the command line, or its programs, were refused: nothing ran
  Ended,      // nothing to succeed at: --help, --version, the shell left
};

// The tool's own statuses, which scripts rely on: 1 for success, 0 for
// everything else. With --posix-exit the usual ones: 0 for success (and
// for an outcome with nothing to succeed at), 1 for failure, 2 for a
// refused command line.
int ExitStatus(RunOutcome outcome, bool posixExit);
