/*
** The MariaDB batch engine: see maria_batch.h for the rules it keeps.
*/
#include "maria_batch.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace qxmaria {

namespace {

char escape_letter(char c)
{
    switch (c) {
    case '\\': return '\\';
    case '\t': return 't';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\0': return '0';
    default: return 0;
    }
}

/* True when one of the 8 bytes of `word` needs an escape: a byte below 0x0e
** (NUL, tab, newline and carriage return are 0x00, 0x09, 0x0a, 0x0d) or a
** backslash. The classic "has a byte less than n" and "has a zero byte"
** tests; a false hit (0x01-0x08, 0x0b, 0x0c) only sends the word through
** the byte loop. */
bool word_needs_escape(uint64_t word)
{
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const uint64_t below = (word - ones * 0x0e) & ~word & highs;
    const uint64_t slash = word ^ (ones * '\\');
    return (below | ((slash - ones) & ~slash & highs)) != 0;
}

} // namespace

void append_escaped(std::string &out, std::string_view value)
{
    /* Invariant: [run, i) needs no escape and is copied as one block. Most
    ** values need none, so they are checked 8 bytes at a time. */
    size_t run = 0, i = 0;
    const size_t n = value.size();
    while (i < n) {
        if (n - i >= 8) {
            uint64_t word;
            std::memcpy(&word, value.data() + i, 8);
            if (!word_needs_escape(word)) {
                i += 8;
                continue;
            }
        }
        const size_t stop = std::min(n, i + 8);
        for (; i < stop; i++) {
            const char letter = escape_letter(value[i]);
            if (letter == 0)
                continue;
            out.append(value.data() + run, i - run);
            out += '\\';
            out += letter;
            run = i + 1;
        }
    }
    out.append(value.data() + run, n - run);
}

BatchWriter::BatchWriter(Conn &conn, std::string table, const std::vector<std::string> &cols, SendPath path,
                         std::vector<uint8_t> numeric)
    : conn_(&conn), table_(std::move(table)), path_(path), width_(cols.size()), numeric_(std::move(numeric))
{
    numeric_.resize(width_, 0);
    if (path_ == SendPath::bulk && !conn.bulk_supported())
        path_ = SendPath::load_data;
    std::string list = " (";
    for (size_t i = 0; i < cols.size(); i++)
        list += (i ? ", " : "") + quote_ident(cols[i]);
    list += ")";
    load_sql_ = "LOAD DATA LOCAL INFILE 'qxfldr-rows' INTO TABLE " + table_ + " CHARACTER SET utf8mb4" + list;
    insert_head_ = "INSERT INTO " + table_ + list + " VALUES ";
}

void BatchWriter::add_row(std::span<const Field> fields, uint64_t tag)
{
    for (const Field &f : fields) {
        Cell cell;
        cell.kind = f.kind;
        switch (f.kind) {
        case Field::Null: break;
        case Field::Int: cell.i = f.i; break;
        case Field::Real: cell.r = f.r; break;
        case Field::Text:
            cell.off = bytes_.size();
            cell.len = static_cast<uint32_t>(f.text.size());
            bytes_.append(f.text);
            break;
        }
        cells_.push_back(cell);
    }
    ends_.push_back(bytes_.size());
    tags_.push_back(tag);
}

namespace {

/* A number as the text the server reads back to the same value. */
std::string_view number_text(char (&buf)[32], Field::Kind kind, int64_t i, double r)
{
    const auto res = kind == Field::Int ? std::to_chars(buf, buf + sizeof buf, i) : std::to_chars(buf, buf + sizeof buf, r);
    return std::string_view(buf, static_cast<size_t>(res.ptr - buf));
}

} // namespace

void BatchWriter::discard()
{
    cells_.clear();
    bytes_.clear();
    ends_.clear();
    tags_.clear();
    refused_.clear();
    sent_ = false;
    kept_ = 0;
}

SendResult BatchWriter::send(const RefusalHandler &on_refused, bool alone)
{
    SendResult out;
    if (!sent_) {
        kept_ = 0;
        stop_ = fatal_ = conflict_ = false;
        error_.clear();
        refused_.assign(tags_.size(), 0);
        if (!send_parts(on_refused, alone)) {
            out.status = SendStatus::redo;
            return out;
        }
        if (fatal_ || conflict_) {
            out.status = fatal_ ? SendStatus::failed : SendStatus::blocked;
            out.error = error_;
            return out;
        }
        sent_ = true;
    }
    out.kept = kept_;
    out.status = stop_ ? SendStatus::stopped : SendStatus::ok;
    return out;
}

/* Rule 1; false when the first part, sent alone, had a refused row (redo). */
bool BatchWriter::send_parts(const RefusalHandler &on_refused, bool alone)
{
    const size_t rows = tags_.size();
    for (size_t lo = 0; lo < rows && !stop_ && !fatal_ && !conflict_; lo += kPartRows) {
        const size_t hi = std::min(rows, lo + kPartRows);
        if (!alone || lo > 0) {
            locate(lo, hi, false, on_refused);
            continue;
        }
        const Outcome first = send_range(lo, hi);
        if (first == Outcome::refused)
            return false;
        if (first == Outcome::ok)
            kept_ += hi - lo;
        else
            fail(first, last_error());
    }
    return true;
}

void BatchWriter::unsend()
{
    if (refused_.size() == tags_.size())
        drop_refused();
    refused_.clear();
    kept_ = 0;
    sent_ = false;
}

void BatchWriter::drop_from_tag(uint64_t limit)
{
    const size_t keep = static_cast<size_t>(std::lower_bound(tags_.begin(), tags_.end(), limit) - tags_.begin());
    tags_.resize(keep);
    cells_.resize(keep * width_);
    ends_.resize(keep);
    bytes_.resize(keep == 0 ? 0 : ends_.back());
}

void BatchWriter::drop_refused()
{
    std::vector<Cell> cells;
    std::string bytes;
    std::vector<size_t> ends;
    std::vector<uint64_t> tags;
    for (size_t i = 0; i < tags_.size(); i++) {
        if (refused_[i])
            continue;
        for (size_t c = 0; c < width_; c++) {
            Cell cell = cells_[i * width_ + c];
            if (cell.kind == Field::Text) {
                const std::string_view text = text_of(cell);
                cell.off = bytes.size();
                bytes.append(text);
            }
            cells.push_back(cell);
        }
        ends.push_back(bytes.size());
        tags.push_back(tags_[i]);
    }
    cells_.swap(cells);
    bytes_.swap(bytes);
    ends_.swap(ends);
    tags_.swap(tags);
    refused_.assign(tags_.size(), 0);
}

void BatchWriter::fail(Outcome outcome, const std::string &what)
{
    (outcome == Outcome::conflict ? conflict_ : fatal_) = true;
    error_ = (conn_->lost() ? "connection to MariaDB lost while loading table " : "MariaDB failed the load of table ") +
             table_ + ": " + what;
}

/* The connection's error; a bulk execution the client library stopped
** before it reached the server leaves its error on the statement alone. */
std::string BatchWriter::last_error() const
{
    if (stmt_ && mysql_errno(conn_->get()) == 0 && mysql_stmt_errno(stmt_.get()) != 0)
        return one_line(mysql_stmt_error(stmt_.get()));
    return conn_->error();
}

BatchWriter::Outcome BatchWriter::classify_error()
{
    const unsigned err = conn_->errnum();
    if (is_conflict_error(err))
        return Outcome::conflict;
    return is_row_error(err, conn_->sqlstate()) ? Outcome::refused : Outcome::fatal;
}

bool BatchWriter::command(const char *sql)
{
    std::string err;
    if (conn_->exec(sql, err))
        return true;
    fail(classify_error() == Outcome::conflict ? Outcome::conflict : Outcome::fatal, err);
    return false;
}

BatchWriter::Outcome BatchWriter::load_range(size_t lo, size_t hi)
{
    /* The rows as LOAD DATA lines, encoded for this statement only. */
    char num[32];
    lines_.clear();
    for (size_t row = lo; row < hi; row++) {
        for (size_t c = 0; c < width_; c++) {
            if (c > 0)
                lines_ += '\t';
            const Cell &cell = cells_[row * width_ + c];
            if (cell.kind == Field::Null)
                lines_ += "\\N";
            else if (cell.kind == Field::Text)
                append_escaped(lines_, text_of(cell));
            else
                lines_.append(number_text(num, cell.kind, cell.i, cell.r));
        }
        lines_ += '\n';
    }
    InfileSource src{lines_.data(), lines_.size()};
    MYSQL *m = conn_->get();
    conn_->set_infile_source(&src);
    const int rc = mysql_real_query(m, load_sql_.data(), load_sql_.size());
    conn_->set_infile_source(nullptr);
    if (rc != 0)
        return classify_error();
    /* Rule 2: a row left out or a value changed shows as a short count or a warning. */
    return mysql_affected_rows(m) == hi - lo && mysql_warning_count(m) == 0 ? Outcome::ok : Outcome::refused;
}

/* Every value goes as a quoted text, numbers too, so that the server reads
** it as it reads the same value from LOAD DATA (a YEAR takes '0' as 2000). */
void BatchWriter::append_tuple(std::string &sql, size_t row) const
{
    char num[32];
    sql += '(';
    for (size_t c = 0; c < width_; c++) {
        sql += c ? ", " : "";
        const Cell &cell = cells_[row * width_ + c];
        if (cell.kind == Field::Null)
            sql += "NULL";
        else
            sql += "'" + conn_->escape(cell.kind == Field::Text ? text_of(cell) : number_text(num, cell.kind, cell.i, cell.r)) + "'";
    }
    sql += ')';
}

BatchWriter::Outcome BatchWriter::insert_range(size_t lo, size_t hi)
{
    MYSQL *m = conn_->get();
    std::string sql;
    for (size_t row = lo; row < hi;) {
        sql = insert_head_;
        const size_t first = row;
        for (; row < hi && (row == first || sql.size() < kInsertBytes); row++) {
            if (row > first)
                sql += ", ";
            append_tuple(sql, row);
        }
        if (mysql_real_query(m, sql.data(), sql.size()) != 0)
            return classify_error();
        if (mysql_affected_rows(m) != row - first || mysql_warning_count(m) != 0)
            return Outcome::refused;
    }
    return Outcome::ok;
}

BatchWriter::Outcome BatchWriter::send_range(size_t lo, size_t hi)
{
    switch (path_) {
    case SendPath::bulk: return bulk_range(lo, hi);
    case SendPath::load_data: return load_range(lo, hi);
    case SendPath::insert: break;
    }
    return insert_range(lo, hi);
}

/* The rows in executions of at most kInsertBytes of values each, so that no
** execution outgrows the server's packet limit on wide rows. A row bigger
** than that alone goes by LOAD DATA LOCAL, which streams it: an execution
** must fit in one packet of the server's (16 MiB by default), and a packet
** too big ends the session. */
BatchWriter::Outcome BatchWriter::bulk_range(size_t lo, size_t hi)
{
    if (!prepared_) {
        /* A statement that failed to prepare is kept, so that its error is
        ** still there to report; the next send prepares it again. */
        if (!stmt_)
            stmt_.reset(mysql_stmt_init(conn_->get()));
        if (!stmt_)
            return Outcome::fatal;
        std::string sql = insert_head_ + "(";
        for (size_t c = 0; c < width_; c++)
            sql += c ? ", ?" : "?";
        sql += ")";
        if (mysql_stmt_prepare(stmt_.get(), sql.data(), sql.size()) != 0)
            return classify_error();
        prepared_ = true;
        bound_.resize(width_);
        binds_.resize(width_);
    }
    constexpr size_t kValueBytes = 9;   /* what a value costs in the packet besides its text */
    for (size_t first = lo; first < hi;) {
        size_t last = first + 1;
        while (last < hi && ends_[last] - row_start(first) + (last + 1 - first) * width_ * kValueBytes <= kInsertBytes)
            last++;
        const bool too_big = ends_[first] - row_start(first) + width_ * kValueBytes > kInsertBytes;
        const Outcome outcome = too_big ? load_range(first, last) : bulk_execute(first, last);
        if (outcome != Outcome::ok)
            return outcome;
        first = last;
    }
    return Outcome::ok;
}

/* Binds column `col` of rows [lo, hi): binary integers (or floating numbers)
** when the column is numeric and holds no other kind there, else texts. */
void BatchWriter::bind_column(size_t col, size_t lo, size_t hi, MYSQL_BIND &bind)
{
    BoundColumn &b = bound_[col];
    const size_t n = hi - lo;
    bool ints = numeric_[col] != 0, reals = numeric_[col] != 0;
    b.indicator.resize(n);
    for (size_t k = 0; k < n; k++) {
        const Field::Kind kind = cells_[(lo + k) * width_ + col].kind;
        b.indicator[k] = kind == Field::Null ? STMT_INDICATOR_NULL : STMT_INDICATOR_NONE;
        ints = ints && (kind == Field::Null || kind == Field::Int);
        reals = reals && (kind == Field::Null || kind == Field::Real);
    }
    bind = MYSQL_BIND{};
    bind.u.indicator = b.indicator.data();
    const auto bind_numbers = [&](auto &values, auto Cell::*member, enum_field_types type) {
        values.resize(n);
        for (size_t k = 0; k < n; k++)
            values[k] = cells_[(lo + k) * width_ + col].*member;
        bind.buffer_type = type;
        bind.buffer = values.data();
    };
    if (ints)
        return bind_numbers(b.ints, &Cell::i, MYSQL_TYPE_LONGLONG);
    if (reals)
        return bind_numbers(b.reals, &Cell::r, MYSQL_TYPE_DOUBLE);
    /* Numbers among texts go as texts; `numbers` is reserved for all of them
    ** at once, so that the pointers into it stay valid. */
    char num[32];
    b.texts.resize(n);
    b.lengths.resize(n);
    b.numbers.clear();
    b.numbers.reserve(n * sizeof num);
    for (size_t k = 0; k < n; k++) {
        const Cell &cell = cells_[(lo + k) * width_ + col];
        std::string_view text;
        if (cell.kind == Field::Text) {
            text = text_of(cell);
        } else if (cell.kind != Field::Null) {
            const std::string_view digits = number_text(num, cell.kind, cell.i, cell.r);
            text = std::string_view(b.numbers.data() + b.numbers.size(), digits.size());
            b.numbers.append(digits);
        }
        b.texts[k] = text.data();
        b.lengths[k] = text.size();
    }
    bind.buffer_type = MYSQL_TYPE_STRING;
    bind.buffer = b.texts.data();
    bind.length = b.lengths.data();
}

BatchWriter::Outcome BatchWriter::bulk_execute(size_t lo, size_t hi)
{
    for (size_t c = 0; c < width_; c++)
        bind_column(c, lo, hi, binds_[c]);
    unsigned int rows = static_cast<unsigned int>(hi - lo);
    MYSQL_STMT *stmt = stmt_.get();
    if (mysql_stmt_attr_set(stmt, STMT_ATTR_ARRAY_SIZE, &rows) != 0 || mysql_stmt_bind_param(stmt, binds_.data()) != 0 ||
        mysql_stmt_execute(stmt) != 0)
        return mysql_errno(conn_->get()) != 0 ? classify_error() : Outcome::fatal;
    return mysql_stmt_affected_rows(stmt) == rows && mysql_warning_count(conn_->get()) == 0 ? Outcome::ok
                                                                                            : Outcome::refused;
}

BatchWriter::Outcome BatchWriter::single_row(size_t row, std::string &message)
{
    const Outcome outcome = insert_range(row, row + 1);
    if (outcome != Outcome::refused)
        return outcome;
    if (mysql_errno(conn_->get()) != 0) {
        message = conn_->error();
        return outcome;
    }
    /* Stored with a warning (rule 3): the warning is the reason. */
    std::vector<Row> warnings;
    std::string err;
    if (!conn_->query("SHOW WARNINGS", warnings, err))
        return classify_error();
    message = warnings.empty() ? "the server changed a value of the row" : warnings[0][2].value_or("");
    return Outcome::refused;
}

void BatchWriter::locate(size_t lo, size_t hi, bool known_bad, const RefusalHandler &on_refused)
{
    if (stop_ || fatal_ || conflict_)
        return;
    const size_t count = hi - lo;
    if (!known_bad || count == 1) {
        if (!command("SAVEPOINT qx_part"))
            return;
        std::string message;
        const Outcome outcome = count == 1 ? single_row(lo, message) : send_range(lo, hi);
        if (outcome == Outcome::fatal || outcome == Outcome::conflict) {
            fail(outcome, last_error());
            return;
        }
        if (!command(outcome == Outcome::ok ? "RELEASE SAVEPOINT qx_part" : "ROLLBACK TO SAVEPOINT qx_part"))
            return;
        if (outcome == Outcome::ok) {
            kept_ += count;
            return;
        }
        if (count == 1) {
            refused_[lo] = 1;
            if (!on_refused(Refusal{tags_[lo], message}))
                stop_ = true;
            return;
        }
    }
    /* Rule 4, in kFanout pieces: a refused range costs its rollback, so it
    ** is cut finer than in halves; when every piece but the last passed,
    ** the last is known to fail. */
    const size_t parts = std::min(kFanout, count);
    const uint64_t kept_before = kept_;
    for (size_t p = 0; p < parts; p++) {
        const size_t from = lo + count * p / parts, to = lo + count * (p + 1) / parts;
        const bool rest_passed = kept_ - kept_before == from - lo;
        locate(from, to, p + 1 == parts && rest_passed, on_refused);
    }
}

} // namespace qxmaria
