// The one log sender every subsystem calls. It writes the same records to
// /dev/log that syslog() would ("<29>Dec  7 19:30:40 korvane[26]: text"; as
// datagrams, or NUL-ended on a stream socket), but never waits: a log reader
// that stalls must not stop the line.
#pragma once

#include <syslog.h>  // the LOG_* levels, facilities and options

// Remembers ident, options (LOG_PID, LOG_NDELAY) and facility; with
// LOG_NDELAY the log socket is connected at once.
void log_open(const char* ident, int options, int facility);

// Sends one message at level (LOG_ERR, LOG_WARNING, LOG_NOTICE). A message
// the log socket cannot take at once is dropped and counted; the count is
// reported in one line as soon as the log accepts again. A format that keeps
// coming goes out 10 times in a spell, then once a minute; the spell ends
// when the format has not come for a minute, and one line then says how
// many were left out. errno is kept.
void log_message(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Sends what waits without a new message: the summaries of spells that have
// ended and the count of dropped lines. Called every few seconds by a
// thread that is otherwise idle; never waits. errno is kept.
void log_tick();
