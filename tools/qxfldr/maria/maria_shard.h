/*
** Sharded tables: a table of the Spider engine keeps no rows itself; each of
** its partitions names a backend server (and a table there) that holds the
** partition's rows. The loader reads that layout from the front node and
** sends every row straight to the backend the front node would look in.
**
** Rules:
**   (1) a row goes to a backend only when its partition is computed exactly
**       as the server computes it, here for one integer column under
**         HASH(col)      partition = |col MOD n|, a null counting as the
**                        smallest 64-bit integer;
**         LINEAR HASH(col)  col's low bits under the smallest power of two
**                        2^k >= n, dropping the top bit while the result
**                        is n or more (a null counted as under HASH);
**         RANGE(col)     the first partition whose bound is above col
**                        (MAXVALUE above all), a null in the first;
**         LIST(col)      the partition whose list holds col (or NULL);
**         KEY(col), LINEAR KEY(col)  as HASH and LINEAR HASH, of the
**                        column's hash: the bytes of the stored value
**                        (little-endian, the column's width), each taken
**                        at its weight in the collation the server sorts
**                        numbers by (latin1_swedish_ci, read from the
**                        server), bytes that weigh as a space dropped from
**                        the end, folded as the server folds a key's bytes;
**                        a null folds the start value instead;
**       a value no RANGE or LIST partition takes is refused as the server
**       refuses it;
**   (2) any other layout (KEY over several columns or with ALGORITHM=1,
**       an expression, COLUMNS, subpartitions, a backend the front cannot
**       name, a partition's CONNECTION) is not routed: its rows go through
**       the front node, and `why_not` says why for the log;
**   (3) a backend is named by the partition's COMMENT over the table's
**       COMMENT over the table's CONNECTION, as the engine reads them: srv
**       "name" for a row of mysql.servers, or host, port, user, password,
**       socket, database and table given there. A partition's own
**       CONNECTION option is not read: such a table is not routed.
*/
#ifndef QXFLDR_MARIA_SHARD_H
#define QXFLDR_MARIA_SHARD_H

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "maria_catalog.h"
#include "maria_conn.h"

namespace qxmaria {

enum class PartMethod { single, hash, linear_hash, range, list, key, linear_key };

/* One partition and the backend table that holds its rows. */
struct Shard {
    std::string          name;          /* partition name ("" for an unpartitioned table) */
    Endpoint             backend;       /* server, user and database */
    std::string          table;         /* table name on the backend */
    std::optional<int64_t> below;       /* RANGE: bound; nullopt for MAXVALUE */
    std::vector<int64_t> values;        /* LIST: the values */
    bool                 takes_null = false;   /* LIST: NULL is listed */
};

struct Layout {
    bool        spider = false;         /* the table is one of the Spider engine */
    bool        routed = false;         /* rule 1 holds: rows go to the backends */
    std::string why_not;                /* rule 2: why rows go through the front */
    PartMethod  method = PartMethod::single;
    std::string method_text;            /* as the catalog says, e.g. "HASH" */
    std::string column;                 /* the partitioning column, as stored */
    std::vector<Shard> shards;          /* in partition order */
    uint32_t    key_bytes = 0;          /* KEY: bytes of the column's stored value */
    std::array<uint8_t, 256> weights{}; /* KEY: each byte's weight */

    /* The partition of a row whose column value is `v` (nullopt: NULL);
    ** -1 when no partition takes it. */
    int partition_of(std::optional<int64_t> v) const;
    /* KEY: the server's hash of a value (nullopt: NULL). */
    uint32_t key_hash(std::optional<int64_t> v) const;
};

/* Comment parameters: key "value" pairs separated by commas. */
std::map<std::string, std::string> parse_comment(const std::string &comment);

/* Reads the layout of `table` (described through `front`). False with err
** only when the catalog cannot be read; a table that is not routed still
** gives true, with why_not set. */
bool read_layout(Conn &front, const Table &table, Layout &out, std::string &err);

} // namespace qxmaria

#endif
