/*
** The loader's per-row value pipeline on its own, without a database: a
** control text is parsed by the library, bound against a table description
** given here, and rows are turned into values or rejections.
*/
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "rowval.h"

using namespace qxfldr;

namespace {

class Pipeline : public ::testing::Test {
protected:
    void SetUp() override
    {
        fldr_init();
        heap_ = mem_heap_create_low(fldr_get_env(), 0, 0, 0, 0, "tests/qxfldr", __LINE__, 1);
        inst_ = std::make_unique<fldr_inst>();
        std::memset(inst_.get(), 0, sizeof(fldr_inst));
        inst_->charset = FLDR_CHARSET_UTF8;
        inst_->scan_mode = FLDR_SCAN_CSV;   /* the loader's dialect when no escape is written */
    }
    void TearDown() override
    {
        for (auto *s : sequences_)
            delete s;
        mem_heap_free(fldr_get_env(), heap_);
    }

    /* Parses `ctl` and binds its first table against `cols` ("name type" each). */
    bool bind(const std::string &ctl, const std::vector<std::pair<std::string, std::string>> &cols,
              std::string &err)
    {
        fldr_init_args(&args_);
        fldr_par_result *result = nullptr;
        fldr_parse_err *perr = nullptr;
        if (fpar_main(fldr_get_env(), ctl.c_str(), &result, &perr, &args_, heap_) != 0 ||
            fldr_preprocess_load_sep_info(result->ctl_first->ctl) != 0) {
            err = "parse failed";
            return false;
        }
        plan_ = TablePlan{};
        plan_.ctl = result->ctl_first->ctl;
        plan_.display_name = plan_.ctl->table_name;
        plan_.rules = &rules_;
        for (const auto &[name, decl] : cols) {
            TableColumn c;
            c.name = name;
            c.decl_type = decl;
            map_decl_type(decl, c.type, c.length);
            plan_.desc.cols.push_back(c);
        }
        return build_plan(fldr_get_env(), heap_, plan_, inst_.get(), sequences_, err) == PlanFault::None;
    }

    /* One row through the pipeline: its values as text ("<null>" for NULL),
    ** "format: ..." or "data: ..." for a rejection. */
    std::string row(const std::string &line)
    {
        RowBatch batch;
        batch.width = static_cast<uint32_t>(plan_.insert_cols.size());
        std::string reason;
        const std::string bytes = line + "\n";
        const RowResult r = convert_row(plan_, scratch_, bytes.data(), static_cast<uint32_t>(bytes.size()), "\n", 1,
                                        batch, reason);
        if (r != RowResult::Loaded) {
            EXPECT_TRUE(batch.values.empty() && batch.arena.empty()) << "a rejected row left values behind";
            return (r == RowResult::FormatError ? "format: " : "data: ") + reason;
        }
        std::string out;
        for (uint32_t c = 0; c < batch.width; c++) {
            const Value &v = batch.values[c];
            if (c)
                out += "|";
            switch (v.kind) {
            case Value::Null: out += "<null>"; break;
            case Value::Int: out += "i" + std::to_string(v.i); break;
            case Value::Real: out += "r" + std::to_string(v.r); break;
            case Value::Text: out += batch.arena.substr(v.t.off, v.t.len); break;
            }
        }
        return out;
    }

    mem_heap_t *heap_ = nullptr;
    std::unique_ptr<fldr_inst> inst_;
    fldr_args args_{};
    TablePlan plan_;
    ValueRules rules_;
    RowScratch scratch_;
    std::vector<std::atomic<int64_t> *> sequences_;
};

TEST_F(Pipeline, TypedValuesAndTheirRefusals)
{
    std::string err;
    ASSERT_TRUE(bind("LOAD DATA INFILE 'x' INTO TABLE t FIELDS TERMINATED BY ',' (a, b, c, d, e, f)",
                     {{"a", "SMALLINT"}, {"b", "REAL"}, {"c", "VARCHAR(3)"}, {"d", "DATE"},
                      {"e", "TIMESTAMP"}, {"f", "BOOLEAN"}}, err)) << err;
    EXPECT_EQ(row("-32768,1e3,abc,2024-02-29,2024-02-29 23:59:58.250,yes"),
              "i-32768|r1000.000000|abc|2024-02-29|2024-02-29 23:59:58.25|i1");
    EXPECT_EQ(row(" 7 ,,\xE4\xB8\xAD\xE6\x96\x87x,,,0"), "i7|<null>|\xE4\xB8\xAD\xE6\x96\x87x|<null>|<null>|i0");
    EXPECT_EQ(row("32768,1,a,2024-01-01,2024-01-01,1"), "data: column a: '32768' is not in the column's range");
    EXPECT_EQ(row("1,1x,a,2024-01-01,2024-01-01,1"), "data: column b: '1x' is not a number");
    EXPECT_EQ(row("1,inf,a,2024-01-01,2024-01-01,1"), "data: column b: 'inf' is not a number");
    EXPECT_EQ(row("1,1,abcd,2024-01-01,2024-01-01,1"),
              "data: column c: value of 4 characters is longer than the column's 3");
    EXPECT_EQ(row("1,1,a,2023-02-29,2024-01-01,1").substr(0, 30), "data: column d: '2023-02-29' i");
    EXPECT_EQ(row("1,1,a,2024-01-01,2024-01-01 24:00:00,1").substr(0, 17), "data: column e: '");
    EXPECT_EQ(row("1,1,a,2024-01-01,2024-01-01,maybe"), "data: column f: 'maybe' is not a boolean");
    EXPECT_EQ(row("1,1,a"), "format: 3 fields, the control file lists 6");
    /* Invalid UTF-8 is refused, never stored. */
    EXPECT_EQ(row("1,1,\xC3(,2024-01-01,2024-01-01,1").substr(0, 22), "data: column c: bytes ");
}

TEST_F(Pipeline, DateFormats)
{
    std::string err;
    ASSERT_TRUE(bind("LOAD DATA INFILE 'x' INTO TABLE t FIELDS TERMINATED BY ',' "
                     "(a DATE 'DD-MON-RR HH12:MI AM', b DATE 'YYYYMMDD', c DATE 'YYYY-MM-DD HH24:MI:SS.FF3')",
                     {{"a", "TIMESTAMP"}, {"b", "TEXT"}, {"c", "TIMESTAMP"}}, err)) << err;
    EXPECT_EQ(row("05-mar-24 12:30 AM,20240131,2024-01-02 03:04:05.678"),
              "2024-03-05 00:30:00|2024-01-31|2024-01-02 03:04:05.678");
    EXPECT_EQ(row("05-MAR-99 01:00 PM,20240131,2024/01/02 03:04:05.6"),
              "1999-03-05 13:00:00|2024-01-31|2024-01-02 03:04:05.6");
    EXPECT_EQ(row("05-XYZ-24 12:30 AM,20240131,2024-01-02 03:04:05.6").substr(0, 16), "data: column a: ");
    EXPECT_EQ(row("05-MAR-24 13:30 PM,20240131,2024-01-02 03:04:05.6").substr(0, 16), "data: column a: ");
    EXPECT_EQ(row("05-MAR-24 01:30 PM,202401,2024-01-02 03:04:05.6").substr(0, 16), "data: column b: ");
    EXPECT_EQ(row("05-MAR-24 01:30 PM,20240131x,2024-01-02 03:04:05.6").substr(0, 16), "data: column b: ");

    /* Every format the control-file grammar takes is read: month and day
    ** names (the day checked against the date), seconds past midnight,
    ** quoted text between elements. */
    ASSERT_TRUE(bind("LOAD DATA INFILE 'x' INTO TABLE t FIELDS TERMINATED BY ',' "
                     "(a DATE 'DD MONTH YYYY', b DATE 'YYYY-MM-DD SSSSS', c DATE 'DAY DD.MM.YYYY', "
                     "d DATE 'YYYY\"y\"MM\"m\"DD')",
                     {{"a", "DATE"}, {"b", "TIMESTAMP"}, {"c", "DATE"}, {"d", "DATE"}}, err)) << err;
    EXPECT_EQ(row("05 September 2024,2024-01-02 45296,Thursday 05.09.2024,2024y09m05"),
              "2024-09-05|2024-01-02 12:34:56|2024-09-05|2024-09-05");
    EXPECT_EQ(row("5 SEP 2024,2024-01-02 00000,thu 05.09.2024,2024/09/05"),
              "2024-09-05|2024-01-02 00:00:00|2024-09-05|2024-09-05");
    EXPECT_EQ(row("29 February 2000,2024-01-02 1,Tue 29.02.2000,2000y02m29"),
              "2000-02-29|2024-01-02 00:00:01|2000-02-29|2000-02-29");
    EXPECT_EQ(row("29 February 1900,2024-01-02 1,Thu 01.03.1900,1900y03m01").substr(0, 16), "data: column a: ");
    EXPECT_EQ(row("05 Septober 2024,2024-01-02 1,Thu 05.09.2024,2024y09m05").substr(0, 16), "data: column a: ");
    EXPECT_EQ(row("05 Sep 2024,2024-01-02 86400,Thu 05.09.2024,2024y09m05").substr(0, 16), "data: column b: ");
    EXPECT_EQ(row("05 Sep 2024,2024-01-02 1,Friday 05.09.2024,2024y09m05").substr(0, 16), "data: column c: ");
    EXPECT_EQ(row("05 Sep 2024,2024-01-02 1,Thu 05.09.2024,2024y0905").substr(0, 16), "data: column d: ");
}

TEST_F(Pipeline, FunctionsAndGeneratedValues)
{
    std::string err;
    rules_.sysdate = "2025-06-07 08:09:10";
    ASSERT_TRUE(bind("LOAD DATA INFILE 'x' INTO TABLE t FIELDS TERMINATED BY '|' "
                     "(a \"SUBSTR(:a, -3, 2)\", b \"SUBSTRB(:a, 2, 2)\", c \"CONCAT(:a, '-', LOWER(:d))\", "
                     " d \"NVL(:d, 'none')\", e \"s.nextval\", f \"SYSDATE\", g CONSTANT \"K\", h \"LENGTH(:a)\")",
                     {{"a", "TEXT"}, {"b", "TEXT"}, {"c", "TEXT"}, {"d", "TEXT"}, {"e", "INTEGER"},
                      {"f", "DATE"}, {"g", "TEXT"}, {"h", "INTEGER"}}, err)) << err;
    /* b takes SUBSTRB of a's field; its own field is ignored, as are e's and f's. */
    EXPECT_EQ(row("h\xC3\xA9llo|x|x|AbC|x|x|x"), "ll|\xC3\xA9|h\xC3\xA9llo-abc|AbC|i1|2025-06-07|K|i5");
    EXPECT_EQ(row("abc|x|x||x|x|x"), "ab|bc|abc-|none|i2|2025-06-07|K|i3");
    /* A function naming a column that takes no field is refused at bind time. */
    EXPECT_FALSE(bind("LOAD DATA INFILE 'x' INTO TABLE t (a, b CONSTANT \"z\", c \"UPPER(:b)\")",
                      {{"a", "TEXT"}, {"b", "TEXT"}, {"c", "TEXT"}}, err));
    EXPECT_NE(err.find("names column B"), std::string::npos) << err;
}

}  // namespace
