// What mekal-run and the recorder agree on: the settings mekal-run passes
// through the environment, and the name and version of the run record.
#pragma once

namespace mekal::record {

// The record's path, with %p, %h, %e; relative to the working directory.
inline constexpr char kOutputVariable[] = "MEKAL_RECORD_OUTPUT";
// Prefixes of environment variables to record, separated by ':'.
inline constexpr char kEnvVariable[] = "MEKAL_RECORD_ENV";
// "1": programs that this one executes are recorded too.
inline constexpr char kFollowVariable[] = "MEKAL_RECORD_FOLLOW";

// The record's path when mekal-run is given none.
inline constexpr char kDefaultPattern[] = "mekal-%e-%h-%p.json";
// The most --env prefixes a run takes.
inline constexpr int kMaxPrefixes = 64;

// The document's "schema" and "schema_version".
inline constexpr char kSchemaName[] = "mekal-run-record";
inline constexpr int kSchemaVersion = 1;

}  // namespace mekal::record
