/*
** Spider layouts from the front node's catalog: see maria_shard.h.
*/
#include "maria_shard.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace qxmaria {

namespace {

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        b++;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        e--;
    return s.substr(b, e - b);
}

/* A whole decimal integer, nothing else. */
bool parse_int(const std::string &text, int64_t &out)
{
    const std::string t = trim(text);
    if (t.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    out = std::strtoll(t.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

/* "`id`" or "id": the one column the expression is; empty for anything else. */
std::string plain_column(const std::string &expr)
{
    std::string t = trim(expr);
    if (t.size() >= 2 && t.front() == '`' && t.back() == '`')
        t = t.substr(1, t.size() - 2);
    for (char c : t)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '$')
            return "";
    return t;
}

/* Bytes the server stores a value of an integer type in; 0 for another type. */
uint32_t integer_bytes(const std::string &data_type)
{
    static const std::pair<const char *, uint32_t> kWidths[] = {
        {"tinyint", 1}, {"smallint", 2}, {"mediumint", 3}, {"int", 4}, {"bigint", 8}};
    for (const auto &[name, bytes] : kWidths)
        if (data_type == name)
            return bytes;
    return 0;
}

/* KEY (rule 1): the weight of every byte in the collation the server sorts
** numbers by, as the front node gives them; false when it gives no weight
** of one byte each. */
bool read_number_weights(Conn &front, std::array<uint8_t, 256> &weights, std::string &err)
{
    std::string all;
    for (int b = 0; b < 256; b++) {
        static const char kHex[] = "0123456789ABCDEF";
        all += kHex[b >> 4];
        all += kHex[b & 15];
    }
    std::vector<Row> rows;
    if (!front.query("SELECT HEX(WEIGHT_STRING(CONVERT(UNHEX('" + all +
                         "') USING latin1) COLLATE latin1_swedish_ci))",
                     rows, err))
        return false;
    const std::string hex = rows.empty() ? std::string() : rows[0][0].value_or("");
    if (hex.size() != 512)
        return false;
    for (size_t b = 0; b < 256; b++) {
        const char *at = hex.data() + 2 * b;
        if (std::from_chars(at, at + 2, weights[b], 16).ptr != at + 2)
            return false;
    }
    return true;
}

/* The backend of a partition from its parameters (rule 3); false with why. */
bool backend_of(Conn &front, const Table &table, const std::map<std::string, std::string> &params, Shard &shard,
                std::string &why)
{
    auto get = [&](std::initializer_list<const char *> keys) -> std::optional<std::string> {
        for (const char *k : keys)
            if (auto it = params.find(k); it != params.end())
                return it->second;
        return std::nullopt;
    };
    Endpoint ep;
    ep.database = table.database;
    if (auto srv = get({"srv", "server"})) {
        std::vector<Row> rows;
        std::string err;
        if (!front.query("SELECT Host, Port, Username, Password, Db, Socket FROM mysql.servers WHERE Server_name = '" +
                             front.escape(*srv) + "'",
                         rows, err)) {
            why = "the server list cannot be read (" + err + ")";
            return false;
        }
        if (rows.empty()) {
            why = "server " + *srv + " is not in mysql.servers";
            return false;
        }
        const Row &r = rows[0];
        ep.host = r[0].value_or("");
        ep.port = static_cast<unsigned>(std::strtoul(r[1].value_or("0").c_str(), nullptr, 10));
        ep.user = r[2].value_or("");
        ep.password = r[3].value_or("");
        if (!r[4].value_or("").empty())
            ep.database = *r[4];
        ep.socket = r[5].value_or("");
    }
    if (auto v = get({"host"}))
        ep.host = *v;
    if (auto v = get({"port"}))
        ep.port = static_cast<unsigned>(std::strtoul(v->c_str(), nullptr, 10));
    if (auto v = get({"user"}))
        ep.user = *v;
    if (auto v = get({"password"}))
        ep.password = *v;
    if (auto v = get({"socket"}))
        ep.socket = *v;
    if (auto v = get({"database"}))
        ep.database = *v;
    if (ep.port == 0)
        ep.port = 3306;
    if (ep.host.empty() && ep.socket.empty()) {
        why = "partition " + shard.name + " names no backend host";
        return false;
    }
    if (ep.host.empty())
        ep.host = "localhost";
    /* A socket counts only for a local host, as for the engine's own connections. */
    if (ep.host != "localhost")
        ep.socket.clear();
    shard.backend = ep;
    shard.table = get({"table", "tbl"}).value_or(table.name);
    return true;
}

/* Bounds or values of a RANGE or LIST partition (rule 1); false when not integers. */
bool read_bounds(PartMethod method, const std::string &desc, Shard &shard)
{
    if (method == PartMethod::range) {
        if (trim(desc) == "MAXVALUE")
            return true;
        int64_t v = 0;
        if (!parse_int(desc, v))
            return false;
        shard.below = v;
        return true;
    }
    size_t at = 0;
    while (at <= desc.size()) {
        const size_t comma = std::min(desc.find(',', at), desc.size());
        const std::string item = trim(desc.substr(at, comma - at));
        int64_t v = 0;
        if (item == "NULL")
            shard.takes_null = true;
        else if (parse_int(item, v))
            shard.values.push_back(v);
        else
            return false;
        at = comma + 1;
    }
    return true;
}

/* The method of a layout, or why it is not routed. */
bool method_of(const std::string &text, PartMethod &out)
{
    if (text == "HASH")
        out = PartMethod::hash;
    else if (text == "LINEAR HASH")
        out = PartMethod::linear_hash;
    else if (text == "RANGE")
        out = PartMethod::range;
    else if (text == "LIST")
        out = PartMethod::list;
    else if (text == "KEY")
        out = PartMethod::key;
    else if (text == "LINEAR KEY")
        out = PartMethod::linear_key;
    else
        return false;
    return true;
}

/* The SQL string that opens at `at` (a quote), unquoted into `value`
** ('' and \' stand for a quote); returns the index of its closing quote. */
size_t read_quoted(const std::string &text, size_t at, std::string &value)
{
    value.clear();
    for (size_t i = at + 1; i < text.size(); i++) {
        if (text[i] == '\\' && i + 1 < text.size())
            value += text[++i];
        else if (text[i] != '\'')
            value += text[i];
        else if (i + 1 < text.size() && text[i + 1] == '\'')
            value += text[++i];
        else
            return i;
    }
    return text.size();
}

/* The CONNECTION options of a CREATE TABLE text as the server shows it:
** the table's (on the line that closes the column list) into `table_conn`,
** and whether any partition has one. Quoted values are stepped over whole,
** so the option's name inside a comment is no option. */
void connection_options(const std::string &create, std::string &table_conn, bool &partition_conn)
{
    const size_t parts = create.find("\n PARTITION BY ");
    const size_t opts = create.rfind("\n) ", parts);
    table_conn.clear();
    partition_conn = false;
    std::string value;
    for (size_t i = opts == std::string::npos ? create.size() : opts; i < create.size(); i++) {
        if (create[i] == '\'') {
            i = read_quoted(create, i, value);
            continue;
        }
        if (create.compare(i, 12, " CONNECTION=") != 0 && create.compare(i, 14, " CONNECTION = ") != 0)
            continue;
        const size_t open = create.find('\'', i);
        if (open == std::string::npos)
            return;
        i = read_quoted(create, open, value);
        if (parts != std::string::npos && open > parts)
            partition_conn = true;
        else
            table_conn = value;
    }
}

/* The partitioning of the table: method, column, bounds and backends (rules
** 1 to 3). `key_algorithm_1`: the table's KEY partitioning hashes as the
** server's oldest releases did. */
bool read_partitions(Conn &front, const Table &table, const std::map<std::string, std::string> &table_params,
                     bool key_algorithm_1, Layout &out, std::string &err)
{
    std::vector<Row> rows;
    if (!front.query("SELECT PARTITION_NAME, SUBPARTITION_NAME, PARTITION_METHOD, PARTITION_EXPRESSION, "
                     "PARTITION_DESCRIPTION, PARTITION_COMMENT FROM information_schema.PARTITIONS "
                     "WHERE TABLE_SCHEMA = '" +
                         front.escape(table.database) + "' AND TABLE_NAME = '" + front.escape(table.name) +
                         "' ORDER BY PARTITION_ORDINAL_POSITION, SUBPARTITION_ORDINAL_POSITION",
                     rows, err))
        return false;
    if (rows.empty() || !rows[0][0]) {
        /* Not partitioned: the table's own comment names its one backend. */
        Shard shard;
        if (!backend_of(front, table, table_params, shard, out.why_not))
            return true;
        out.shards.push_back(std::move(shard));
        out.routed = true;
        return true;
    }
    out.method_text = rows[0][2].value_or("");
    if (rows[0][1]) {
        out.why_not = "its partitions have subpartitions";
        return true;
    }
    if (!method_of(out.method_text, out.method)) {
        out.why_not = "partitioning by " + out.method_text + " is not computed here";
        return true;
    }
    out.column = plain_column(rows[0][3].value_or(""));
    const auto col = std::find_if(table.cols.begin(), table.cols.end(),
                                  [&](const Column &c) { return lower(c.name) == lower(out.column); });
    if (col == table.cols.end() || integer_bytes(col->data_type) == 0) {
        out.why_not = "it is partitioned on " + rows[0][3].value_or("") + ", not on one integer column";
        return true;
    }
    out.column = col->name;
    if (out.method == PartMethod::key || out.method == PartMethod::linear_key) {
        if (key_algorithm_1) {
            out.why_not = "its KEY partitioning is of ALGORITHM=1";
            return true;
        }
        out.key_bytes = integer_bytes(col->data_type);
        std::string query_err;
        if (!read_number_weights(front, out.weights, query_err)) {
            if (!query_err.empty()) {
                err = query_err;
                return false;
            }
            out.why_not = "the server gives no one-byte weights for its KEY hash";
            return true;
        }
    }
    for (const Row &r : rows) {
        Shard shard;
        shard.name = r[0].value_or("");
        std::map<std::string, std::string> params = table_params;
        for (auto &[k, v] : parse_comment(r[5].value_or("")))
            params[k] = v;
        if (!backend_of(front, table, params, shard, out.why_not))
            return true;
        const bool bounded = out.method == PartMethod::range || out.method == PartMethod::list;
        if (bounded && !read_bounds(out.method, r[4].value_or(""), shard)) {
            out.why_not = "partition " + shard.name + " has bounds that are not integers";
            return true;
        }
        out.shards.push_back(std::move(shard));
    }
    out.routed = true;
    return true;
}

} // namespace

std::map<std::string, std::string> parse_comment(const std::string &comment)
{
    std::map<std::string, std::string> out;
    size_t at = 0;
    const size_t n = comment.size();
    while (at < n) {
        while (at < n && (std::isspace(static_cast<unsigned char>(comment[at])) || comment[at] == ','))
            at++;
        size_t key_end = at;
        while (key_end < n && !std::isspace(static_cast<unsigned char>(comment[key_end])) && comment[key_end] != '"' &&
               comment[key_end] != '\'')
            key_end++;
        const std::string key = lower(comment.substr(at, key_end - at));
        at = key_end;
        while (at < n && std::isspace(static_cast<unsigned char>(comment[at])))
            at++;
        if (at >= n || (comment[at] != '"' && comment[at] != '\''))
            break;   /* not key "value": the rest is not read */
        const char q = comment[at++];
        std::string value;
        for (; at < n && comment[at] != q; at++) {
            if (comment[at] == '\\' && at + 1 < n)
                at++;
            value += comment[at];
        }
        at++;
        if (!key.empty())
            out[key] = value;
    }
    return out;
}

namespace {

/* LINEAR HASH and LINEAR KEY: the hash's low bits under the smallest power
** of two that is at least n; a result past the last partition drops its top
** bit until it is not. */
int linear_partition(uint64_t h, int n)
{
    uint64_t mask = std::bit_ceil(static_cast<uint64_t>(n)) - 1;
    uint64_t p = h & mask;
    while (p >= static_cast<uint64_t>(n)) {
        mask >>= 1;
        p &= mask;
    }
    return static_cast<int>(p);
}

} // namespace

uint32_t Layout::key_hash(std::optional<int64_t> v) const
{
    /* The server folds a key into two 64-bit words from 1 and 4 and keeps
    ** the low 32 bits of the first. */
    uint64_t nr1 = 1, nr2 = 4;
    if (!v)
        return static_cast<uint32_t>(nr1 ^ ((nr1 << 1) | 1));
    uint8_t bytes[8];
    for (uint32_t i = 0; i < key_bytes; i++)
        bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(*v) >> (8 * i));
    uint32_t len = key_bytes;
    while (len > 0 && weights[bytes[len - 1]] == weights[' '])
        len--;
    for (uint32_t i = 0; i < len; i++) {
        nr1 ^= (((nr1 & 63) + nr2) * weights[bytes[i]]) + (nr1 << 8);
        nr2 += 3;
    }
    return static_cast<uint32_t>(nr1);
}

int Layout::partition_of(std::optional<int64_t> v) const
{
    const int n = static_cast<int>(shards.size());
    switch (method) {
    case PartMethod::single: return 0;
    case PartMethod::hash: {
        /* The server hashes a NULL as the smallest 64-bit integer. */
        const int64_t m = v.value_or(INT64_MIN) % n;   /* truncates toward zero, as the server's MOD */
        return static_cast<int>(m < 0 ? -m : m);
    }
    case PartMethod::linear_hash: return linear_partition(static_cast<uint64_t>(v.value_or(INT64_MIN)), n);
    case PartMethod::key: return static_cast<int>(key_hash(v) % static_cast<uint32_t>(n));
    case PartMethod::linear_key: return linear_partition(key_hash(v), n);
    case PartMethod::range:
        for (int p = 0; p < n; p++)
            if (!v || !shards[p].below || *v < *shards[p].below)
                return p;
        return -1;
    case PartMethod::list:
        for (int p = 0; p < n; p++)
            if (v ? std::find(shards[p].values.begin(), shards[p].values.end(), *v) != shards[p].values.end()
                  : shards[p].takes_null)
                return p;
        return -1;
    }
    return -1;
}

bool read_layout(Conn &front, const Table &table, Layout &out, std::string &err)
{
    out = Layout{};
    out.spider = lower(table.engine) == "spider";
    if (!out.spider)
        return true;
    std::vector<Row> rows, create;
    if (!front.query("SELECT TABLE_COMMENT FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                         front.escape(table.database) + "' AND TABLE_NAME = '" + front.escape(table.name) + "'",
                     rows, err) ||
        !front.query("SHOW CREATE TABLE " + table.qualified(), create, err))
        return false;
    /* The engine reads the table's COMMENT and its CONNECTION together, the
    ** COMMENT's value first where both give one; a partition's COMMENT then
    ** goes over both (rule 3). */
    std::string table_conn;
    bool partition_conn = false;
    if (!create.empty() && create[0].size() > 1)
        connection_options(create[0][1].value_or(""), table_conn, partition_conn);
    std::map<std::string, std::string> table_params = parse_comment(table_conn);
    for (auto &[k, v] : parse_comment(rows.empty() ? std::string() : rows[0][0].value_or("")))
        table_params[k] = v;
    if (partition_conn) {
        out.why_not = "a partition names its backend in a CONNECTION option, which is not read here";
        return true;
    }
    const bool key_algorithm_1 =
        !create.empty() && create[0].size() > 1 && create[0][1].value_or("").find(" KEY ALGORITHM = 1 ") != std::string::npos;
    if (!read_partitions(front, table, table_params, key_algorithm_1, out, err))
        return false;
    if (!out.routed)
        out.shards.clear();
    return true;
}

} // namespace qxmaria
