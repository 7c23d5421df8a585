/*
** The Sequencer: converted tasks back into file order, cut into commit units
** (see order.h for the flow and why it cannot deadlock).
*/
#include "order.h"

#include <algorithm>

namespace qxfldr {

namespace {

/* A unit closes early when the rejected rows it carries reach this many
** bytes: they stay in memory until the unit is decided, and a file of
** mostly bad rows would otherwise bring all of them in. */
constexpr size_t kUnitRejectedBytes = 16u << 20;

RowKey row_key(const RowBatch &batch, uint64_t row)
{
    return RowKey{batch.file_no, batch.src[row].row_no, batch.table};
}

}  // namespace

bool Sequencer::Cursor::has_next() const
{
    return row < conv->batch->rows() || rej < conv->rejected.size();
}

bool Sequencer::Cursor::next_is_rejected() const
{
    if (rej == conv->rejected.size())
        return false;
    return row == conv->batch->rows() || conv->rejected[rej].key < row_key(*conv->batch, row);
}

RowKey Sequencer::Cursor::next_key() const
{
    return next_is_rejected() ? conv->rejected[rej].key : row_key(*conv->batch, row);
}

Sequencer::Sequencer(bool multi_table, uint64_t unit_rows, int64_t error_limit, Release release)
    : multi_table_(multi_table), unit_rows_(std::max<uint64_t>(unit_rows, 1)), error_limit_(error_limit),
      release_(std::move(release))
{
}

Sequencer::~Sequencer()
{
    stop();
}

void Sequencer::deposit(std::unique_ptr<Converted> converted)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopped_ && converted->seq <= seq_limit()) {
            waiting_.emplace(converted->seq, std::move(converted));
            arrived_.notify_all();
            return;
        }
    }
    release_(*converted);
}

void Sequencer::close(int64_t taken)
{
    std::lock_guard<std::mutex> lock(mutex_);
    taken_ = taken;
    arrived_.notify_all();
}

void Sequencer::stop()
{
    std::map<int64_t, std::unique_ptr<Converted>> waiting;
    std::vector<Cursor> group;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = ended_ = true;
        seq_limit_.store(-1, std::memory_order_release);
        waiting.swap(waiting_);
        group.swap(group_);
        arrived_.notify_all();
    }
    for (auto &[seq, conv] : waiting)
        release_(*conv);
    /* `group` releases its chunks as the last items cut from them are dropped. */
}

/* Waits until task `seq` is deposited; false when it never will be. */
bool Sequencer::wait_for(std::unique_lock<std::mutex> &lock, int64_t seq)
{
    for (;;) {
        if (stopped_ || seq > seq_limit())
            return false;
        if (waiting_.count(seq) != 0)
            return true;
        if (taken_ >= 0 && seq >= taken_)
            return false;
        arrived_.wait(lock);
    }
}

std::shared_ptr<Converted> Sequencer::take(int64_t seq)
{
    Converted *conv = waiting_.extract(seq).mapped().release();
    return std::shared_ptr<Converted>(conv, [release = release_](Converted *c) {
        release(*c);
        delete c;
    });
}

/* The next chunk's Converteds become the group; false at the end of the stream. */
bool Sequencer::refill(std::unique_lock<std::mutex> &lock)
{
    group_.clear();
    if (ended_ || !wait_for(lock, next_seq_)) {
        ended_ = true;
        return false;
    }
    group_.push_back(Cursor{take(next_seq_++)});
    /* Tasks of one chunk are enqueued together, so they have consecutive numbers. */
    while (multi_table_ && wait_for(lock, next_seq_)) {
        const Converted &first = *group_.front().conv;
        const Converted &next = *waiting_.at(next_seq_);
        if (next.file_no != first.file_no || next.chunk_off != first.chunk_off)
            break;
        group_.push_back(Cursor{take(next_seq_++)});
    }
    return true;
}

Sequencer::Cursor *Sequencer::earliest()
{
    Cursor *best = nullptr;
    for (Cursor &c : group_)
        if (c.has_next() && (best == nullptr || c.next_key() < best->next_key()))
            best = &c;
    return best;
}

bool Sequencer::open_unit(Unit &unit)
{
    unit.turn = std::unique_lock<std::mutex>(turn_mutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    while (earliest() == nullptr)
        if (!refill(lock)) {
            unit.turn.unlock();
            return false;
        }
    unit.number = next_unit_++;
    unit.rows = 0;
    unit.rejected_bytes = 0;
    return true;
}

bool Sequencer::next(Unit &unit, Item &item)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (unit.rows >= unit_rows_ || unit.rejected_bytes >= kUnitRejectedBytes)
        return false;
    Cursor *cursor = nullptr;
    while (!stopped_ && (cursor = earliest()) == nullptr)
        if (!refill(lock))
            return false;
    if (cursor == nullptr)
        return false;
    if (cursor->next_is_rejected())
        cut_rejected(*cursor, unit, item);
    else
        cut_rows(*cursor, unit, item);
    /* A chunk fully cut goes back as soon as its last item is dropped: the
    ** pool is small, and the reader waits for it. */
    if (earliest() == nullptr)
        group_.clear();
    return true;
}

/* Accepted rows from the cursor on, up to whatever comes first in file order
** (a rejected row of its own, a row of another table) and the unit's room. */
void Sequencer::cut_rows(Cursor &cursor, Unit &unit, Item &item)
{
    RowKey bound{UINT32_MAX, INT64_MAX, UINT32_MAX};
    if (cursor.rej < cursor.conv->rejected.size())
        bound = cursor.conv->rejected[cursor.rej].key;
    for (const Cursor &other : group_)
        if (&other != &cursor && other.has_next())
            bound = std::min(bound, other.next_key());
    const RowBatch &batch = *cursor.conv->batch;
    uint64_t end = cursor.row + std::min(batch.rows() - cursor.row, unit_rows_ - unit.rows);
    if (bound.file_no != UINT32_MAX) {
        /* The batch's rows are in file order: the run ends at the first row at
        ** or past the bound (the cursor's own row is before it). */
        const auto past = std::partition_point(
            batch.src.begin() + static_cast<std::ptrdiff_t>(cursor.row) + 1,
            batch.src.begin() + static_cast<std::ptrdiff_t>(end),
            [&](const RowSource &src) { return RowKey{batch.file_no, src.row_no, batch.table} < bound; });
        end = static_cast<uint64_t>(past - batch.src.begin());
    }
    item.rows = cursor.conv;
    item.from = cursor.row;
    item.to = end;
    cursor.row = end;
    unit.rows += end - item.from;
    unit.last = row_key(batch, end - 1);
}

void Sequencer::cut_rejected(Cursor &cursor, Unit &unit, Item &item)
{
    item.rows = nullptr;
    item.rejected = std::move(cursor.conv->rejected[cursor.rej++]);
    unit.rejected_bytes += item.rejected.text.size() + item.rejected.reason.size();
    unit.last = item.rejected.key;
    if (++worker_errors_ > error_limit_)
        end_after_group();
}

/* The rows rejected by workers alone passed the limit: whatever the writers
** decide, the load stops at this row or before it. Later tasks are not needed. */
void Sequencer::end_after_group()
{
    ended_ = true;
    seq_limit_.store(next_seq_ - 1, std::memory_order_release);
    for (Cursor &c : group_) {
        c.row = c.conv->batch->rows();
        c.rej = c.conv->rejected.size();
    }
    std::map<int64_t, std::unique_ptr<Converted>> later;
    later.swap(waiting_);
    for (auto &[seq, conv] : later)
        release_(*conv);
}

}  // namespace qxfldr
