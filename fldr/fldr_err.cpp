/*
** Error codes: the message table and diagnostic lists.
**
** The message table keeps its Chinese texts readable in this file (UTF-8)
** and hands them out in GB18030, the form callers convert from. The GB18030
** copies are made once, on the first lookup, into one static arena; after
** that a lookup is a scan of constant data.
**
** A diagnostic list numbers its records from 1. Record n lives in block
** (n-1)/5 of the chain that starts with the block embedded in the head, at
** slot (n-1)%5. Blocks are added, never removed, until the list is torn
** down, so a cleared list reuses them.
**
** Finding block (n-1)/5 by walking from the head would make a load that
** records a million rejected rows quadratic. The list head's layout is
** fixed, so the last block a reporter reached is remembered beside it, in
** a cursor table keyed by the list's address: a walk starts there whenever
** the wanted block is not before it. The cursor is valid from the list's
** first record until fldr_deinit_diag, because blocks are only appended in
** between; teardown drops it.
*/
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "fldr_internal.h"
#include "qxcvt.h"

namespace {

struct emsg_source {
    int32_t     code;
    const char *zh_cn;   /* UTF-8 */
    const char *zh_tw;   /* UTF-8 */
    const char *en;
};

/* In table order; the first row of a code wins (-65040 has two). */
constexpr emsg_source k_emsg_source[] = {
    {65001, "文件读取完毕", "文件讀取完畢", "File read over"},
    {65002, "文件装载完毕", "文件裝載完畢", "File load over"},
    {-1, "一般错误", "一般錯誤", "General error"},
    {-65001, "内存不足", "內存不足", "Out of memory"},
    {-65002, "插入数据失败", "插入數據失敗", "Error when insertting"},
    {-65003, "无效的数据类型", "無效的數據類型", "Invalid data type"},
    {-65004, "数据转换失败", "數據轉換失敗", "Convert data failed"},
    {-65006, "水平分区表中无效的行", "水平分區表中無效的行", "Invalid row of hash table"},
    {-65007, "设置表失败", "設置表失敗", "Failed to set table"},
    {-65008, "该实例已经被初始化", "該實例已經被初始化", "Already  initialized"},
    {-65009, "不能多次执行UNINITIALIZED操作", "不能多次執行UNINITIALIZED操作", "UNINITIALIZED  Already"},
    {-65010, "无效的参数", "無效的參數", "Invalid parameter"},
    {-65011, "客户端数据为空", "客戶端數據為空", "Empty client data"},
    {-65012, "数据暂未绑定", "數據暫未綁定", "cols not binded"},
    {-65014, "数据越界", "數據越界", "Out of range"},
    {-65015, "只读属性", "只讀屬性", "Attribute read only"},
    {-65013, "非法属性", "非法屬性", "Invalid attribute"},
    {-65016, "缓存区不足", "緩存區不足", "Buffer not enough"},
    {-65017, "指针为空", "指針為空", "Null pointer"},
    {-65019, "日期时间格式化失败", "日期時間格式化失敗", "Failed to format date time string"},
    {-65020, "无效的文件路径", "無效的文件路徑", "Invalid file path"},
    {-65021, "读取文件失败", "讀取文件失敗", "Read file failed"},
    {-65022, "语法分析出错", "語法分析出錯", "Parse error"},
    {-65023, "删除文件失败", "刪除文件失敗", "Delete file failed"},
    {-65024, "打开文件失败", "打開文件失敗", "Open file failed"},
    {-65025, "写入文件失败", "寫入文件失敗", "Write file failed"},
    {-65026, "列信息不对应", "列信息不對應", "Column mismatch"},
    {-65027, "数据错误", "數據錯誤", "Data error"},
    {-65028, "无效的时间日期格式", "無效的時間日期格式", "Invalid date format"},
    {-65029, "无效的列名", "無效的列名", "Invalid column name"},
    {-65030, "无效的索引列", "無效的索引列", "Invalid column id"},
    {-65031, "连接服务器失败", "連接服務器失敗", "failed to connect to server"},
    {-65032, "无效的参数值", "無效的參數值", "invalid parameter value"},
    {-65033, "文件字符集不可接受", "文件字符集不可接受", "Unacceptalbe charactor encoding"},
    {-65034, "不支持的列定义类型", "不支持的列定義類型", "Unsupported column's data type"},
    {-65035, "数据错误", "數據錯誤", "data error"},
    {-65036, "无效的装载模式", "無效的裝載模式", "invalid load mode"},
    {-65037, "指定的列与服务器列不一致", "指定的列與服務器列不一致", "col not mapping"},
    {-65038, "获取表信息失败", "獲取表信息失敗", "failed to get table info"},
    {-65018, "创建文件失败", "創建文件失敗", "Create file failed"},
    {-65039, "无效的行结尾符", "無效的行結尾符", "Invalid row terminate"},
    {-65040, "不支持对于mpp冗余表的分发装载", "不支持對於mpp冗餘表的分發裝載", "loading data to redundancy table"},
    {-65040, "无效的mpp控制文件内容", "無效的mpp控制文件內容", "invalid mpp ini file content"},
    {-65043, "无法进行字符集的转换", "無法進行字符集的轉換", "Invalid char for current conversion"},
    {-65044, "达到错误上限", "達到錯誤上限", "Reach error max"},
    {-65046, "MPP站点数不匹配", "MPP站點數不匹配", "MPP site numbers mismatch"},
    {-65047, "不支持的处理函数", "不支持的處理函數", "Unsupported column function"},
    {-65048, "未找到OCI环境", "未找到OCI環境", "OCI NOT FOUND"},
    {-65049, "初始化OCI失败", "初始化OCI失敗", "Initialize OCI failure"},
    {-65050, "创建OCI连接失败", "創建OCI連接失敗", "Create OCI connection failure"},
    {-65051, "没有找到合适的分区", "沒有找到合適的分區", "NOT find partition to operate"},
    {-65052, "mpp不支持", "mpp不支持", "MPP not supported"},
    {-65053, "快速装载方式大字段列不支持CONSTANT选项", "快速裝載方式大字段列不支持CONSTANT選項", "CONSTANT option is not supported in fast mode when col type is lob."},
    {-65054, "快速装载方式大字段列不支持POSITION选项", "快速裝載方式大字段列不支持POSITION選項", "POSITION option is not supported in fast mode when col type is lob."},
    {-65055, "主备环境不支持的操作类型", "主備環境不支持的操作類型", "Operation not supported in data watch"},
    {-65056, "未指定需要导入的列", "未指定需要導入的列", "No columns to load for table"},
    {-65057, "未指定列的POSITION信息", "未指定列的POSITION信息", "Lack of necessary position info for some columns"},
    {-65058, "分隔符和封闭符不能相同", "分隔符和封閉符不能相同", "Delimiters and enclosed characters can not be the same"},
    {-65059, "数据文件少列", "數據文件少列", "col nums in data file is not enough"},
    {-65060, "HUGE表不支持主备切换", "HUGE表不支持主備切換", "Switchover is not allowed for huge table"},
    {-65061, "读取数据失败", "讀取數據失敗", "Recieve data failed"},
    {-65062, "未找到行结尾符", "未找到行結尾符", "No row terminate found"},
    {-65063, "不支持", "不支持", "Not supported"},
    {-65064, "DPC不支持", "DPC不支持", "Not supported in dpc mode"},
    {-65065, "重置索引失败", "重置索引失敗", "Reset indexes failed"},
    {-65066, "索引导入失败", "索引導入失敗", "Import indexes failed"},
    {-65067, "快速装载不支持全密态", "快速裝載不支持全密態", "FE is not supported in fast loader"},

};

constexpr size_t k_emsg_rows = sizeof k_emsg_source / sizeof k_emsg_source[0];
static_assert(k_emsg_rows == 67, "the message table has 67 rows");

/* Every GB18030 text of the table, NUL-terminated, back to back. Chinese
** texts take at most as many bytes in GB18030 as in UTF-8, plus slack. */
constexpr size_t k_gb_arena_size = 8192;

struct emsg_table {
    fldr_emsg_row rows[k_emsg_rows];
    char          arena[k_gb_arena_size];
};

emsg_table g_emsg;
std::once_flag g_emsg_once;

/* Appends the GB18030 form of utf8 to the arena; returns it. A text that
** cannot be converted keeps its UTF-8 bytes, so a lookup still says something. */
const char *to_gb18030(const char *utf8, size_t *used)
{
    char *dst = g_emsg.arena + *used;
    uint32_t room = (uint32_t)(k_gb_arena_size - *used - 1);
    uint32_t len = 0;
    int32_t rc = qx_UtfToLocal(utf8, (uint32_t)strlen(utf8), QXCVT_GB18030, dst, room, nullptr, nullptr,
                               &len);
    if (rc != 0)
        return utf8;
    dst[len] = '\0';
    *used += len + 1;
    return dst;
}

void build_emsg_table()
{
    size_t used = 0;
    for (size_t i = 0; i < k_emsg_rows; i++) {
        fldr_emsg_row &row = g_emsg.rows[i];
        row.code = k_emsg_source[i].code;
        row.text_zh_cn = to_gb18030(k_emsg_source[i].zh_cn, &used);
        row.text_zh_tw = to_gb18030(k_emsg_source[i].zh_tw, &used);
        row.text_en = k_emsg_source[i].en;
        row.text_spare = "";
    }
}

/* Copies at most cap-1 bytes of text into dst and terminates it. */
void copy_bounded(char *dst, size_t cap, const char *text)
{
    size_t len = strnlen(text, cap - 1);
    memcpy(dst, text, len);
    dst[len] = '\0';
}

constexpr uint32_t k_diag_text_room = 256;  /* converted texts are at most 256 bytes */

/* Fills rec->text from the message table in the reporter's language and set. */
void fill_diag_text(fldr_diag_rec *rec, int32_t code, uint32_t language, uint32_t out_code)
{
    const fldr_emsg_row *row = fldr_emsg_lookup(code);
    uint32_t produced = 0;

    if (language == FLDR_LANG_EN) {
        copy_bounded(rec->text, sizeof rec->text, row->text_en);
        return;
    }
    if (language == FLDR_LANG_ZH_CN) {
        if (out_code == QXCVT_UTF8) {
            qx_LocalToUtf(row->text_zh_cn, (uint32_t)strlen(row->text_zh_cn), QXCVT_GB18030, rec->text,
                          k_diag_text_room, nullptr, nullptr, &produced);
            rec->text[produced] = '\0';
        } else {
            copy_bounded(rec->text, sizeof rec->text, row->text_zh_cn);
        }
        return;
    }
    /* Traditional Chinese (and any other value): to UTF-8, then BIG5 unless
     * UTF-8 is wanted. */
    char work[k_diag_text_room + 1];
    qx_LocalToUtf(row->text_zh_tw, (uint32_t)strlen(row->text_zh_tw), QXCVT_GB18030, work,
                  k_diag_text_room, nullptr, nullptr, &produced);
    work[produced] = '\0';
    if (out_code == QXCVT_UTF8) {
        copy_bounded(rec->text, sizeof rec->text, work);
        return;
    }
    produced = 0;
    qx_UtfToLocal(work, (uint32_t)strlen(work), QXCVT_BIG5, rec->text, k_diag_text_room, nullptr,
                  nullptr, &produced);
    rec->text[produced] = '\0';
}

struct diag_cursor {
    uint32_t         index;  /* block number of `block`, 0 for the embedded block */
    fldr_diag_block *block;
};

std::mutex g_cursor_mutex;  /* leaf lock: taken inside a list's lock, never the reverse */
std::unordered_map<const fldr_diag_list *, diag_cursor> g_cursors;

/* Block `index` of the list, or the last block when the chain is shorter.
 * Called under the list's lock; *reached tells which block number it is. */
fldr_diag_block *walk_to_block(fldr_diag_list *list, uint32_t index, uint32_t *reached)
{
    diag_cursor start{0, &list->first};
    {
        std::lock_guard<std::mutex> guard(g_cursor_mutex);
        auto it = g_cursors.find(list);
        if (it != g_cursors.end() && it->second.index <= index)
            start = it->second;
    }
    while (start.index < index && start.block->next != nullptr) {
        start.block = start.block->next;
        start.index++;
    }
    *reached = start.index;
    return start.block;
}

void remember_block(const fldr_diag_list *list, uint32_t index, fldr_diag_block *block)
{
    std::lock_guard<std::mutex> guard(g_cursor_mutex);
    g_cursors[list] = diag_cursor{index, block};
}

void forget_list(const fldr_diag_list *list)
{
    std::lock_guard<std::mutex> guard(g_cursor_mutex);
    g_cursors.erase(list);
}

}  // namespace

extern "C" {

QX_EXPORT const fldr_emsg_row *fldr_emsg_lookup(int32_t code)
{
    std::call_once(g_emsg_once, build_emsg_table);
    const fldr_emsg_row *general = nullptr;
    for (const fldr_emsg_row &row : g_emsg.rows) {
        if (row.code == code)
            return &row;
        if (general == nullptr && row.code == FLDR_ERR_GENERAL)
            general = &row;
    }
    return general;
}

QX_EXPORT void fldr_init_diag(fldr_diag_list *list)
{
    forget_list(list);  /* a head re-initialised without teardown starts afresh */
    os_mutex2_create(&list->lock);
    list->capacity = FLDR_DIAG_PER_BLOCK;
    list->count = 0;
    list->flags = 3;
    memset(&list->first, 0, sizeof list->first);
}

QX_EXPORT void fldr_deinit_diag(fldr_env *env, fldr_diag_list *list)
{
    list->capacity = FLDR_DIAG_PER_BLOCK;
    list->count = 0;
    fldr_diag_block *block = list->first.next;
    while (block != nullptr) {
        fldr_diag_block *next = block->next;
        if (g_fldr_obj.flags & FLDR_FLAG_C_HEAP)
            free(block);
        else
            mem2_free(env, block);
        block = next;
    }
    list->first.next = nullptr;
    forget_list(list);
    os_mutex2_free(&list->lock);
}

QX_EXPORT void fldr_clear_diag(fldr_diag_list *list)
{
    list->count = 0;
}

QX_EXPORT fldr_diag_rec *fldr_get_nth_diag_rec(fldr_diag_block *first_block, uint32_t n)
{
    fldr_diag_block *block = first_block;
    for (uint32_t i = (n - 1) / FLDR_DIAG_PER_BLOCK; i > 0; i--)
        block = block->next;
    return &block->recs[(n - 1) % FLDR_DIAG_PER_BLOCK];
}

QX_EXPORT void fldr_add_diag_rec(fldr_env *env, fldr_diag_list *list, int32_t code, const char *text,
                                 uint16_t aux_no16, uint32_t aux_no, uint32_t language, uint32_t out_code)
{
    if ((list->flags & 1u) == 0)
        return;

    /* Reserve the slot under the lock; fill it outside. When the slot lies
     * past the last block (n > capacity), the walk ends on the last block
     * and a new one is linked after it. */
    fldr_lock(&list->lock);
    uint32_t n = list->count + 1;
    uint32_t want = (n - 1) / FLDR_DIAG_PER_BLOCK;
    uint32_t reached = 0;
    fldr_diag_block *block = walk_to_block(list, want, &reached);
    if (n > list->capacity) {
        auto *grown = static_cast<fldr_diag_block *>(fldr_alloc(env, nullptr, sizeof(fldr_diag_block),
                                                                FLDR_TAG_ERR, 211));
        if (grown == nullptr) {
            fldr_unlock(&list->lock);
            return;
        }
        memset(grown, 0, sizeof *grown);
        block->next = grown;
        block = grown;
        reached++;
        list->capacity += FLDR_DIAG_PER_BLOCK;
    }
    remember_block(list, reached, block);
    fldr_diag_rec *rec = &block->recs[(n - 1) % FLDR_DIAG_PER_BLOCK];
    list->count = n;
    fldr_unlock(&list->lock);

    rec->aux_no16 = aux_no16;
    rec->code = code;
    rec->aux_no = aux_no;
    if (text != nullptr)
        copy_bounded(rec->text, sizeof rec->text, text);
    else
        fill_diag_text(rec, code, language, out_code);
}

}  // extern "C"
