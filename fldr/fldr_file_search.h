/*
** The row searches: where the next row of a buffer ends. Defined in
** fldr_file_search.cpp, the CSV ones in fldr_file_csv.cpp. Not exported;
** tests reach them through the static library.
*/
#ifndef FLDR_FILE_SEARCH_H
#define FLDR_FILE_SEARCH_H

#include <stdint.h>

#include "qxfldr_comm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The three row searches behind fldr_search_row_end; each returns the first
** byte of the terminator or NULL, and never reads outside buf[0, len). */
char *fldr_search_row_plain(const char *buf, uint32_t len, const char *term, uint16_t term_len);
char *fldr_search_row_enclosed(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                               const char *enclose, uint16_t enclose_len);
/* The enclosure-aware search without the 32-byte compares (tests run both). */
char *fldr_search_row_enclosed_portable(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                                        const char *enclose, uint16_t enclose_len);
char *fldr_search_row_escaped(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                              const char *escape, uint16_t escape_len);

/* The plain and escape-aware searches one character at a time, for GBK,
** GB18030 and BIG5 data whose trailing bytes could be taken for the
** terminator or the escape: only a match at a character's first byte counts. */
char *fldr_search_row_plain_chars(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                                  uint32_t charset);
char *fldr_search_row_escaped_chars(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                                    const char *escape, uint16_t escape_len, uint32_t charset);

/* The CSV row search: a row terminator ends the row unless it stands inside
** a field that opened with the enclosure (field_term and enclose are the
** table's). The first function takes 64 bytes at a time where it can; the
** second walks one character at a time and is what the first must equal. */
char *fldr_search_row_csv(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                          const char *field_term, uint16_t field_term_len, const char *enclose,
                          uint16_t enclose_len, uint32_t charset);
char *fldr_search_row_csv_walk(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                               const char *field_term, uint16_t field_term_len, const char *enclose,
                               uint16_t enclose_len, uint32_t charset);

/* Up to max row ends of buf[0, len), in order: ends[i] is bias plus the
** offset of the i-th terminator's first byte, each found as
** fldr_search_row_end would find it from the end of the previous one (from 0
** for the first). Returns how many were found; fewer than max means there
** are no more. An empty terminator ends no row. ends[count, max) may be
** written over; bias + len must fit in 32 bits. */
uint32_t fldr_search_row_ends(fldr_inst *inst, const char *buf, uint32_t len, uint16_t term_len, const char *term,
                              uint32_t *ends, uint32_t max, uint32_t bias);

/* The plain-mode batch search with 16-byte compares only (tests run both). */
uint32_t fldr_search_row_ends_portable(const char *buf, uint32_t len, uint16_t term_len, const char *term,
                                       uint32_t *ends, uint32_t max, uint32_t bias);

#ifdef __cplusplus
}
#endif

#endif
