// What the tool needs of the operating system, per platform.
#pragma once

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

namespace qvtool {

// Pushes what was written to `file` down to the storage device, so that a
// crash or power loss loses at most what comes after.
bool sync_file(std::FILE* file);

bool is_terminal(std::FILE* file);

// Whether `file` is the systemd journal's stream: JOURNAL_STREAM, which
// systemd sets for a service whose output goes there, names its device
// and inode.
bool is_journal(std::FILE* file);

// Calls `on_interrupt` (from a signal context: it may only set atomics)
// on Ctrl-C and on a termination request; on POSIX systems also on a
// hang-up (a closed terminal), a quit (Ctrl-\) and a broken pipe (a reader
// of standard output that went away, `watch | head -2`), so that each
// ends a run as cleanly. Signals that mean nothing to the tool (SIGUSR1,
// SIGUSR2, SIGALRM) are ignored instead of ending it.
void on_interrupt(void (*on_interrupt)());

// Calls the handler given to on_interrupt, as the signals do: for a
// failure that means the same (standard output's reader is gone).
void raise_interrupt();

// Takes back the signals on_interrupt handles from a library that set
// its own disposition for one (libmosquitto ignores SIGPIPE for every
// client it makes). Harmless before on_interrupt.
void reclaim_interrupt_signals();

// Keeps SIGPIPE away from the calling thread, whose writes to a socket
// the peer closed must fail with EPIPE instead of ending the run.
void block_broken_pipe_signal();

// A file-size limit (ulimit -f, systemd's LimitFSIZE=) kills a program
// with a signal at the write that crosses it, half a row into the log;
// ignored, the write fails instead, and the log is cut back to its last
// whole row.
void ignore_file_size_signal();

bool path_exists(const std::string& path);

std::tm utc_time(std::time_t t);

// Cuts `file` back to its first `size` bytes (after a write that failed
// part-way); false when that failed too.
bool truncate_file(std::FILE* file, long size);

// This process's id.
long long process_id();

// The system's words for an error number.
std::string os_error_text(int error);

// When `path` is a symbolic link to a terminal device that exists (the
// link of a running virtual adapter), that device; else empty.
std::string live_terminal_link(const std::string& path);

}  // namespace qvtool
