#pragma once

#include "record/RecordStore.h"

#include <memory>
#include <string>

// The line's record store on a PostgreSQL server: the runs of every station, in a schema of
// its own ("tovrin" unless told otherwise), versioned like a file.

// The schema version this program makes and writes on a server.
constexpr int64_t kServerSchemaVersion = 1;

// Whether a --db value names a server ("postgresql://..." or "postgres://...") rather than a file.
bool IsServerUri(const std::string& target);

// The URI as it may be shown: without a password (in the user part or as a parameter).
std::string ShownUri(const std::string& uri);

// A schema name tovrin accepts: lower-case letters, digits and "_", not starting with a digit,
// at most 63 characters.
bool IsSchemaName(const std::string& name);
// The same, false with the reason as the user is told it (naming --db-schema).
bool CheckSchemaName(const std::string& name, std::string& reason);

// A store on the server at uri, in that schema. Nothing is connected yet: the first use
// connects (at most 5 s unless the URI says otherwise), makes the schema when it is not there
// and refuses a newer one; a connection that breaks is made again at the next use. The
// password comes from the URI, ~/.pgpass or PGPASSWORD, as libpq takes it; no text of the store
// shows it.
std::unique_ptr<IRecordStore> MakeServerStore(const std::string& uri, const std::string& schema);

// Connects now, to read only: the schema must be there; nothing is made or written. Null with
// the reason when the server cannot be reached or holds no record there.
std::unique_ptr<IRecordStore> OpenServerStoreForReading(const std::string& uri, const std::string& schema,
                                                        std::string& error);
