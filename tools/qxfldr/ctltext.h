/*
** The control text as the loader reads it beside the library's parse.
**
** The parse keeps values, not how they were written, and a few refusals
** need the writing: DATE '' and TERMINATED BY '' leave a column exactly as
** if the clause were absent, an OPTIONS number above 32 bits arrives cut to
** its low 32 bits, and a scanner error carries no column. So the loader
** cuts the text into tokens once more, the way the library's scanner cuts
** it (comments, quoted literals and their continuations, words, digit
** runs), and looks at the few clauses it needs.
**
** Rules:
**   (1) Nothing here decides whether a text is valid: the library's parse
**       does. The loader reads the writing only of a text the library
**       accepted, or to place an error the library reported.
**   (2) Where the tokens and the parsed records disagree (a column list
**       with another number of columns than the record), the writing is
**       not used: a refusal is never made on a guess.
*/
#ifndef QXFLDR_TOOL_CTLTEXT_H
#define QXFLDR_TOOL_CTLTEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qxfldr {

/* A text from the user as a message shows it: control bytes escaped, and
** at most kClipChars characters, the last three "..." when it was cut. */
constexpr size_t kClipChars = 60;
std::string clip(std::string_view text);

/* Names and keywords compared as the control language compares them:
** ASCII letters without regard to case. */
bool iequal(std::string_view a, std::string_view b);

/* One token of a control text. */
struct CtlToken {
    enum Kind : uint8_t {
        Word,     /* keyword or plain identifier, upper-cased */
        Quoted,   /* '...' string: text holds what stood between the quotes */
        Ident,    /* "..." delimited identifier (a column function, a CONSTANT) */
        Number,   /* digit run: text holds the digits, leading zeros dropped */
        Hex,      /* X'...' literal */
        Bits,     /* B'...' literal */
        Punct     /* any other single character */
    } kind;
    std::string text;
    uint32_t    line;     /* from 1 */
    uint32_t    column;   /* bytes from the line's start, from 1 */
};

/* A text cut into tokens; `fault` is set where the library's scanner stops
** with an error (a literal or comment left open, a number too long, an
** identifier too long), and the tokens end there. */
struct CtlScan {
    std::vector<CtlToken> tokens;
    bool        fault = false;
    uint32_t    fault_line = 0;
    uint32_t    fault_column = 0;
};
CtlScan scan_control_text(std::string_view text);

/* How one column of a column list was written. */
struct ColumnWriting {
    std::string name;                 /* as its first token gives it */
    bool empty_date_format = false;   /* DATE '' or DATE FORMAT '' */
    bool empty_terminator = false;    /* TERMINATED BY '' or X '' */
};

/* The column lists of the INTO TABLE clauses, in written order. */
std::vector<std::vector<ColumnWriting>> find_column_writing(const CtlScan &scan);

/* An OPTIONS keyword given a number in the text (decimal, or X'...'). */
struct WrittenNumber {
    std::string key;      /* upper-cased keyword */
    std::string digits;   /* in decimal, leading zeros dropped */
    uint32_t    line = 0, column = 0;
};
std::vector<WrittenNumber> find_option_numbers(const CtlScan &scan);

}  // namespace qxfldr

#endif
