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

void split_line(std::string_view line, std::vector<std::optional<std::string>> &fields)
{
    fields.clear();
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    std::string cur;
    bool null = false;
    for (size_t i = 0;; i++) {
        if (i == line.size() || line[i] == '\t') {
            fields.push_back(null ? std::nullopt : std::optional<std::string>(cur));
            cur.clear();
            null = false;
            if (i == line.size())
                return;
            continue;
        }
        if (line[i] != '\\' || i + 1 == line.size()) {
            cur += line[i];
            continue;
        }
        const char e = line[++i];
        if (e == 'N' && cur.empty() && (i + 1 == line.size() || line[i + 1] == '\t'))
            null = true;
        else
            cur += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == '0' ? '\0' : e;
    }
}

BatchWriter::BatchWriter(Conn &conn, std::string table, const std::vector<std::string> &cols, SendPath path)
    : conn_(&conn), table_(std::move(table)), path_(path)
{
    std::string list = " (";
    for (size_t i = 0; i < cols.size(); i++)
        list += (i ? ", " : "") + quote_ident(cols[i]);
    list += ")";
    load_sql_ = "LOAD DATA LOCAL INFILE 'qxfldr-rows' INTO TABLE " + table_ + " CHARACTER SET utf8mb4" + list;
    insert_head_ = "INSERT INTO " + table_ + list + " VALUES ";
}

void BatchWriter::add_row(std::span<const Field> fields, uint64_t tag)
{
    char num[32];
    for (size_t c = 0; c < fields.size(); c++) {
        if (c > 0)
            data_ += '\t';
        const Field &f = fields[c];
        switch (f.kind) {
        case Field::Null: data_ += "\\N"; break;
        case Field::Int: data_.append(num, std::to_chars(num, num + sizeof num, f.i).ptr); break;
        case Field::Real: data_.append(num, std::to_chars(num, num + sizeof num, f.r).ptr); break;
        case Field::Text: append_escaped(data_, f.text); break;
        }
    }
    data_ += '\n';
    ends_.push_back(data_.size());
    tags_.push_back(tag);
}

std::string_view BatchWriter::line(size_t row) const
{
    const size_t from = row == 0 ? 0 : ends_[row - 1];
    return std::string_view(data_).substr(from, ends_[row] - from);
}

void BatchWriter::discard()
{
    data_.clear();
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
            fail(first, conn_->error());
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
    ends_.resize(keep);
    data_.resize(keep == 0 ? 0 : ends_.back());
}

void BatchWriter::drop_refused()
{
    std::string data;
    std::vector<size_t> ends;
    std::vector<uint64_t> tags;
    for (size_t i = 0; i < tags_.size(); i++) {
        if (refused_[i])
            continue;
        data.append(line(i));
        ends.push_back(data.size());
        tags.push_back(tags_[i]);
    }
    data_.swap(data);
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
    const size_t from = lo == 0 ? 0 : ends_[lo - 1];
    InfileSource src{data_.data() + from, ends_[hi - 1] - from};
    MYSQL *m = conn_->get();
    conn_->set_infile_source(&src);
    const int rc = mysql_real_query(m, load_sql_.data(), load_sql_.size());
    conn_->set_infile_source(nullptr);
    if (rc != 0)
        return classify_error();
    /* Rule 2: a row left out or a value changed shows as a short count or a warning. */
    return mysql_affected_rows(m) == hi - lo && mysql_warning_count(m) == 0 ? Outcome::ok : Outcome::refused;
}

void BatchWriter::append_tuple(std::string &sql, size_t row) const
{
    thread_local std::vector<std::optional<std::string>> fields;
    split_line(line(row), fields);
    sql += '(';
    for (size_t c = 0; c < fields.size(); c++) {
        sql += c ? ", " : "";
        if (!fields[c])
            sql += "NULL";
        else
            sql += "'" + conn_->escape(*fields[c]) + "'";
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
    return path_ == SendPath::load_data ? load_range(lo, hi) : insert_range(lo, hi);
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
            fail(outcome, conn_->error());
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
