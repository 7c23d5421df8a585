/*
** The console message table: the texts of the summaries and of the calling
** tool's console lines, in simplified Chinese, traditional Chinese and
** English, registered with mout_init at start-up.
**
** Rules of the table:
**   (1) one row per code, -10001 to -10054 without -10052, in code order;
**   (2) `argc` is the number of printf arguments each of the three texts
**       takes, and the three texts take them in the same order and with the
**       same conversions (the Chinese texts of -10038 use "%I64d" where the
**       English text has "%lld"; both read a 64-bit integer);
**   (3) texts are UTF-8 here; mout_init converts them to the local set once;
**   (4) rows with "%I64d" and rows with "%lld" exist side by side for the
**       same line: the library prints the "%I64d" forms.
** Row -10001 is the text shown for a code without a row.
*/
#include "fldr_internal.h"

mout_row_t g_fldr_console_msgs[FLDR_CONSOLE_MSG_ROWS] = {
    {-10001, 0, "未定义的异常", "未定義的異常", "Undefined exception", {}},
    {-10002, 1, "每次提交到服务器的行数: %d\n\n", "每次提交到服務器的行數: %d\n\n",
     "Rows per commit to server: %d\n\n", {}},
    {-10003, 1, "跳过的行数: %I64d\n\n", "跳過的行數: %I64d\n\n", "Rows to skip: %I64d\n\n", {}},
    {-10004, 1, "允许的错误数: %u\n\n", "允許的錯誤數: %u\n\n", "Errors count allowed: %u\n\n", {}},
    {-10005, 1, "是否直接加载: %s\n\n", "是否直接加載: %s\n\n", "Whether to load direct: %s\n\n", {}},
    {-10006, 1, "是否插入自增列: %s\n\n", "是否插入自增列: %s\n\n",
     "Whether to insert identity column: %s\n\n", {}},
    {-10007, 1, "数据是否按聚集索引排序: %s\n\n", "數據是否按聚集索引排序: %s\n\n",
     "Whether data is sorted by cluster index: %s\n\n", {}},
    {-10008, 0, "字符集: ", "字符集: ", "Character sets: ", {}},
    {-10009, 1, "\n数据文件个数: %d\n", "\n數據文件個數: %d\n", "\nData file counts: %d\n", {}},
    {-10010, 1, "错误文件: %s\n", "錯誤文件: %s\n", "Error file: %s\n", {}},
    {-10011, 1, "\n目标表: %s\n", "\n目標表: %s\n", "\nDest table: %s\n", {}},
    {-10012, 2, "\n目标表: %s.%s\n", "\n目標表: %s.%s\n", "\nDest table: %s.%s\n", {}},
    {-10013, 0, "列名", "列名", "Column Name", {}},
    {-10014, 0, "结束", "結束", "End", {}},
    {-10015, 0, "打包数据类型", "打包數據類型", "Packed data type", {}},
    {-10016, 0, "超过最大错误数 - 以上统计仅反映部分执行结果。\n\n",
     "超過最大錯誤數 - 以上統計僅反映部分執行結果。\n\n",
     "Exceed max error counts - statistics above report part execute result.\n\n", {}},
    {-10017, 1, "%I64d 行加载成功。\n", "%I64d 行加載成功。\n", "%I64d rows loaded success.\n", {}},
    {-10018, 1, "%lld 行加载成功。\n", "%lld 行加載成功。\n", "%lld rows loaded success.\n", {}},
    {-10019, 1, "%I64d 行由于数据格式错误被丢弃。\n", "%I64d 行由於數據格式錯誤被丟棄。\n",
     "%I64d rows not loaded due to data format error.\n", {}},
    {-10020, 1, "%lld 行由于数据格式错误被丢弃。\n", "%lld 行由於數據格式錯誤被丟棄。\n",
     "%lld rows not loaded due to data format error.\n", {}},
    {-10021, 1, "%I64d 行由于数据错误没有加载。\n", "%I64d 行由於數據錯誤沒有加載。\n",
     "%I64d rows not loaded due to data error.\n", {}},
    {-10022, 1, "%lld 行由于数据错误没有加载。\n", "%lld 行由於數據錯誤沒有加載。\n",
     "%lld rows not loaded due to data error.\n", {}},
    {-10023, 1, "\n跳过的逻辑记录总数: %I64d\n", "\n跳過的邏輯記錄總數: %I64d\n",
     "\nSkip logic record counts: %I64d\n", {}},
    {-10024, 1, "\n跳过的逻辑记录总数: %lld\n", "\n跳過的邏輯記錄總數: %lld\n",
     "\nSkip logic record counts: %lld\n", {}},
    {-10025, 1, "读取的逻辑记录总数: %I64d\n", "讀取的邏輯記錄總數: %I64d\n",
     "Read logic record counts: %I64d\n", {}},
    {-10026, 1, "读取的逻辑记录总数: %lld\n", "讀取的邏輯記錄總數: %lld\n",
     "Read logic record counts: %lld\n", {}},
    {-10027, 1, "拒绝的逻辑记录总数: %I64d\n", "拒絕的邏輯記錄總數: %I64d\n",
     "Refuse logic record counts: %I64d\n", {}},
    {-10028, 1, "拒绝的逻辑记录总数: %lld\n", "拒絕的邏輯記錄總數: %lld\n",
     "Refuse logic record counts: %lld\n", {}},
    {-10029, 1, "平均每次发送的行数: %d\n", "平均每次發送的行數: %d\n",
     "The row count average send: %d\n", {}},
    {-10030, 1, "等待提交的时间: %I64d\n", "等待提交的時間: %I64d\n",
     "The time for waiting to commit: %I64d\n", {}},
    {-10031, 1, "等待提交的时间: %lld\n", "等待提交的時間: %lld\n",
     "The time for waiting to commit: %lld\n", {}},
    {-10032, 2, "\n%ld.%03ld(ms)已使用\n", "\n%ld.%03ld(ms)已使用\n", "\n%ld.%03ld(ms) time used.\n", {}},
    {-10033, 0, "无法打开控制文件，请检查控制文件输入\n", "無法打開控制文件，請檢查控制文件輸入\n",
     "Open control file fail, please check the input file\n", {}},
    {-10034, 0, "创建数据文件失败\n", "創建數據文件失敗\n", "Create data file fail\n", {}},
    {-10035, 0, "无法加载 qxdpi 动态库，请检查路径\n", "無法加載 qxdpi 動態庫，請檢查路徑\n",
     "Unable to load qxdpi dynamic lib, please check path\n", {}},
    {-10036, 2, "控制文件语法错误，第 %d 行: %s\n", "控制文件語法錯誤，第 %d 行: %s\n",
     "Control file syntax error, line %d: %s\n", {}},
    {-10037, 3, "%lld 行数据已导出\n用时: %ld.%03ld(ms)\n", "%lld 行數據已導出\n用時: %ld.%03ld(ms)\n",
     "%lld rows exported success. \n%ld.%03ld(ms) time used.\n", {}},
    {-10038, 3, "%I64d 行数据已导出\n用时: %ld.%03ld(ms)\n", "%I64d 行數據已導出\n用時: %ld.%03ld(ms)\n",
     "%lld rows exported success. \n%ld.%03ld(ms) time used.\n", {}},
    {-10039, 0, "\n记录错误数据失败...\n", "\n記錄錯誤數據失敗...\n", "\nRecord bad data fail...\n", {}},
    {-10040, 2, "\n\t第 %d 行第 %d 列数据转换错误", "\n\t第 %d 行第 %d 列數據轉換錯誤",
     "\n\t%d rol %d col data convert error", {}},
    {-10041, 0, "全部", "全部", "All", {}},
    {-10042, 2, "控制文件: %s\n\n加载行数: %s\n\n", "控制文件: %s\n\n加載行數: %s\n\n",
     "Control file: %s\n\nLoaded rows: %s\n\n", {}},
    {-10043, 0, "mpp_local 模式下不支持带自增列的表\n", "mpp_local 模式下不支持帶自增列的表\n",
     "Table with identity column is not supported in mpp_local mode\n", {}},
    {-10044, 0, "QX 服务器版本不匹配", "QX 服務器版本不匹配", "QX server version mismatch", {}},
    {-10045, 0, "控制文件有误，请检查控制文件输入\n", "控制文件有誤，請檢查控制文件輸入\n",
     "Input the wrong ctl file, please check the input file\n", {}},
    {-10046, 1, "行缓冲区个数: %d\n", "行緩衝區個數: %d\n", "row buffer number is: %d\n", {}},
    {-10047, 1, "任务线程个数: %d\n", "任務線程個數: %d\n", "task thread number is: %d\n", {}},
    {-10048, 1, "%lld 行已提交\n", "%lld 行已提交\n", "%lld rows committed\n", {}},
    {-10049, 1, "%I64d 行已提交\n", "%I64d 行已提交\n", "%I64d rows committed\n", {}},
    {-10050, 1, "%lld 行已发送\n", "%lld 行已發送\n", "%lld rows has been sent\n", {}},
    {-10051, 1, "%I64d 行已发送\n", "%I64d 行已發送\n", "%I64d rows has been sent\n", {}},
    {-10053, 1, "失败原因: %s\n", "失敗原因: %s\n", "failing reason: %s\n", {}},
    {-10054, 1, "失败原因: 超过最大错误数(%s)\n", "失敗原因: 超過最大錯誤數(%s)\n",
     "failing reason: Exceed max error counts(%s)\n", {}},
};
