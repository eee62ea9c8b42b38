// What the recorder's parts share: the settings mekal-run passes through the
// environment, and the exit path the interposed functions call.
#pragma once

namespace mekal::record {

// The record's path, with %p, %h, %e; relative to the working directory.
inline constexpr char kOutputVariable[] = "MEKAL_RECORD_OUTPUT";
// Prefixes of environment variables to record, separated by ':'.
inline constexpr char kEnvVariable[] = "MEKAL_RECORD_ENV";
// "1": programs that this one executes are recorded too.
inline constexpr char kFollowVariable[] = "MEKAL_RECORD_FOLLOW";

// The status the program passed to exit or returned from main.
void note_exit_status(int status);
// Writes the complete record once, in the recorded process only.
void finish();

}  // namespace mekal::record
