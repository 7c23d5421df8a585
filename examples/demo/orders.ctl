-- Orders exported from the shop system: comma-separated, text in double
-- quotes, the last columns of a row may be missing. The 2025 file holds a
-- few broken rows: they land in the bad-data file, their reasons in the log.
OPTIONS (
  ERRORS = 50
  ROWS = 1000
  CHARACTER_CODE = 'UTF-8'
  NULL_STR = 'n/a'
)
LOAD DATA
INFILE '../data/orders_202*.csv'
APPEND
INTO TABLE orders
FIELDS TERMINATED BY ','
OPTIONALLY ENCLOSE BY '"'
TRAILING NULLCOLS
(
  order_id,
  customer_id,
  order_note "TRIM",
  amount,
  currency   "REPLACE(:currency, 'EURO', 'EUR')",
  ordered_at DATE 'DD.MM.YYYY'
)
