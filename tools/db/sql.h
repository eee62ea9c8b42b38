// Every SQL text of the catalog, in one place: the schema and its upgrade
// steps, the statements, and the fragments that conditions are built from.
// Values only ever reach SQLite as bound parameters.
#pragma once

#include <string_view>

namespace mekal::catalog::sql {

// Marks the file as a mekal-db catalog ("mekd"), so that another SQLite
// database is refused rather than written into.
inline constexpr int kApplicationId = 0x6d656b64;

// upgrade[i] takes a catalog from schema version i to i + 1; the last
// version is the number of steps. A new version appends a step and never
// edits an old one: catalogs of every earlier version upgrade step by step.
inline constexpr std::string_view upgrade[] = {
    R"sql(-- mekal-db catalog, schema version 1 (PRAGMA user_version = 1).
-- A run is one process: its host, pid and start identify it.
CREATE TABLE run (
  id          INTEGER PRIMARY KEY, -- kept when a newer record of the run replaces the old
  host        TEXT NOT NULL,       -- "program"."host"
  pid         INTEGER NOT NULL,    -- "program"."pid"
  start       TEXT NOT NULL,       -- the value launchdate (ISO 8601, UTC), else the earliest time a value was recorded
  executable  TEXT NOT NULL,       -- "program"."executable"
  argv        TEXT NOT NULL,       -- "program"."argv", a JSON array
  complete    INTEGER NOT NULL,    -- 1 when the record is complete, else 0
  exit_status INTEGER,             -- NULL until the program exits normally
  ranks       INTEGER NOT NULL,    -- the ranks whose values the record holds: "mpi"."size", else 1
  rank        INTEGER,             -- the rank of a record one rank wrote while its job ran (FILE.rank<N>.json), else NULL
  source      TEXT NOT NULL,       -- the file the record was read from, absolute
  updated     TEXT NOT NULL,       -- the latest time a value was recorded: the newer of two records of a run has the later one
  digest      TEXT NOT NULL,       -- hash of the file's bytes: adding the same record again changes nothing
  added       TEXT NOT NULL        -- when the record was added (ISO 8601, UTC)
);
CREATE UNIQUE INDEX run_identity ON run (host, start, pid);

-- Every value name the catalog has seen.
CREATE TABLE name (
  id   INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE
);

-- The values of each run, one row per name. A value that differs between
-- the ranks of an MPI job's record holds the lowest rank's here, and every
-- rank's in rank_value.
CREATE TABLE value (
  name  INTEGER NOT NULL REFERENCES name (id),
  run   INTEGER NOT NULL REFERENCES run (id),
  type  TEXT,  -- the type string: %d, %f, %s, %D, [%s], ...
  value,       -- integer or real for numbers (an integer beyond 64 bits as text), text for
               -- texts and dates (ISO 8601), JSON text for containers and %j, NULL for null
  PRIMARY KEY (name, run)
) WITHOUT ROWID;

-- Each rank's value, for the values that differ between the ranks of an MPI job's record.
CREATE TABLE rank_value (
  run   INTEGER NOT NULL REFERENCES run (id),
  name  INTEGER NOT NULL REFERENCES name (id),
  rank  INTEGER NOT NULL,
  type  TEXT,
  value,
  PRIMARY KEY (run, name, rank)
) WITHOUT ROWID;

-- Host and start of each rank of an MPI job's record: the records that the
-- ranks wrote while the job ran are folded into the job's.
CREATE TABLE job_rank (
  run   INTEGER NOT NULL REFERENCES run (id),
  rank  INTEGER NOT NULL,
  host  TEXT NOT NULL,
  start TEXT NOT NULL,
  PRIMARY KEY (run, rank)
) WITHOUT ROWID;
CREATE INDEX job_rank_identity ON job_rank (host, start);

-- The values by name, for queries by hand.
CREATE VIEW run_value AS
  SELECT value.run AS run, name.name AS name, value.type AS type, value.value AS value
  FROM value JOIN name ON name.id = value.name;
)sql",
};
inline constexpr int kSchemaVersion = static_cast<int>(std::size(upgrade));

// --- opening -------------------------------------------------------------
inline constexpr std::string_view kSetUp =
    "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA cache_size = -65536;";
inline constexpr std::string_view kUserVersion = "PRAGMA user_version";
inline constexpr std::string_view kApplicationIdOf = "PRAGMA application_id";
inline constexpr std::string_view kCountObjects = "SELECT count(*) FROM sqlite_schema";
// PRAGMA takes no parameters: these are built from the integers above only.
inline constexpr std::string_view kSetUserVersion = "PRAGMA user_version = ";
inline constexpr std::string_view kSetApplicationId = "PRAGMA application_id = ";

// --- transactions --------------------------------------------------------
// IMMEDIATE: a writer waits for the lock at BEGIN, where the busy timeout
// applies, rather than fail when its read turns into a write.
inline constexpr std::string_view kBegin = "BEGIN IMMEDIATE";
inline constexpr std::string_view kCommit = "COMMIT";
inline constexpr std::string_view kRollback = "ROLLBACK";

// --- adding --------------------------------------------------------------
inline constexpr std::string_view kFindRun =
    "SELECT id, digest, complete, updated FROM run WHERE host = ?1 AND start = ?2 AND pid = ?3";
inline constexpr std::string_view kInsertRun =
    "INSERT INTO run (host, pid, start, executable, argv, complete, exit_status, ranks, rank, "
    "source, updated, digest, added) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, strftime('%Y-%m-%dT%H:%M:%SZ'))";
inline constexpr std::string_view kUpdateRun =
    "UPDATE run SET executable = ?2, argv = ?3, complete = ?4, exit_status = ?5, ranks = ?6, "
    "rank = ?7, source = ?8, updated = ?9, digest = ?10, "
    "added = strftime('%Y-%m-%dT%H:%M:%SZ') WHERE id = ?1";
inline constexpr std::string_view kDeleteRun = "DELETE FROM run WHERE id = ?1";
// value is keyed by name first; naming every name lets each delete seek.
inline constexpr std::string_view kDeleteValues =
    "DELETE FROM value WHERE name IN (SELECT id FROM name) AND run = ?1";
inline constexpr std::string_view kDeleteRankValues = "DELETE FROM rank_value WHERE run = ?1";
inline constexpr std::string_view kDeleteJobRanks = "DELETE FROM job_rank WHERE run = ?1";
inline constexpr std::string_view kFindName = "SELECT id FROM name WHERE name = ?1";
inline constexpr std::string_view kInsertName = "INSERT INTO name (name) VALUES (?1)";
inline constexpr std::string_view kInsertValue =
    "INSERT INTO value (name, run, type, value) VALUES (?1, ?2, ?3, ?4)";
inline constexpr std::string_view kInsertRankValue =
    "INSERT INTO rank_value (run, name, rank, type, value) VALUES (?1, ?2, ?3, ?4, ?5)";
inline constexpr std::string_view kInsertJobRank =
    "INSERT OR REPLACE INTO job_rank (run, rank, host, start) VALUES (?1, ?2, ?3, ?4)";
// The records one rank of a job wrote while the job ran: the job's record
// holds them once it is in.
inline constexpr std::string_view kRankRecordsOf =
    "SELECT id, source FROM run WHERE host = ?1 AND start = ?2 AND rank = ?3";
inline constexpr std::string_view kJobsHolding =
    "SELECT run.source FROM job_rank JOIN run ON run.id = job_rank.run "
    "WHERE job_rank.host = ?1 AND job_rank.start = ?2 AND job_rank.rank = ?3 AND run.ranks > 1";

// --- querying ------------------------------------------------------------
// The fields of a run by the names that list, compare and conditions use;
// a condition of the column's own kind compares the bare column, which an
// index can serve.
struct field {
    std::string_view name;
    std::string_view column;
    bool text;  // else an integer
};
inline constexpr field kFields[] = {
    {".id", "run.id", false},
    {".host", "run.host", true},
    {".pid", "run.pid", false},
    {".start", "run.start", true},
    {".executable", "run.executable", true},
    {".argv", "run.argv", true},
    {".complete", "run.complete", false},
    {".exit_status", "run.exit_status", false},
    {".ranks", "run.ranks", false},
    {".rank", "run.rank", false},
    {".source", "run.source", true},
    {".added", "run.added", true},
};

inline constexpr std::string_view kSelectRuns = "SELECT run.id, run.start";
inline constexpr std::string_view kFromRuns = " FROM run WHERE 1";
inline constexpr std::string_view kOrderBy = " ORDER BY ";
inline constexpr std::string_view kThenByStart = "run.start, run.id";
inline constexpr std::string_view kLimit = " LIMIT ?";
// A value of the run: name bound to the name's id.
inline constexpr std::string_view kValueOfRun =
    "(SELECT value FROM value WHERE name = ? AND run = run.id)";
inline constexpr std::string_view kTypeOfRun =
    "(SELECT type FROM value WHERE name = ? AND run = run.id)";
// A condition on a value: the runs whose value of the name passes a test of X.
inline constexpr std::string_view kRunsWhoseValue =
    " AND run.id IN (SELECT run FROM value WHERE name = ? AND ";
// What conditions compare, with {x} standing for the value or field: a
// number (an integer beyond 64 bits is kept as text), a date, or a text.
inline constexpr std::string_view kAsNumber =
    "(CASE WHEN typeof({x}) IN ('integer', 'real') THEN {x} "
    "WHEN typeof({x}) = 'text' AND {x} GLOB '[0-9]*' AND {x} NOT GLOB '*[^0-9]*' "
    "THEN CAST({x} AS REAL) END)";
inline constexpr std::string_view kAsDate = "(CASE WHEN typeof({x}) = 'text' THEN julianday({x}) END)";
inline constexpr std::string_view kAsText = "CAST({x} AS TEXT)";
inline constexpr std::string_view kDateParameter = "julianday(?)";
inline constexpr std::string_view kOperators[] = {" = ", " != ", " < ", " <= ", " > ", " >= ", " GLOB "};

// Every run's value of one name, or field, for the statistics.
inline constexpr std::string_view kScanValue = "SELECT run, value FROM value WHERE name = ?1";
inline constexpr std::string_view kScanFieldPrefix = "SELECT run.id, ";
inline constexpr std::string_view kScanFieldSuffix = " FROM run";

}  // namespace mekal::catalog::sql
