-- One event log feeds two tables, chosen by the record type in column 1.
-- Every column but a CONSTANT takes a field of the row; the generated
-- columns of shop_orders come last, and TRAILING NULLCOLS lets the rows end
-- before them.
LOAD DATA
INFILE '../data/events.log'
APPEND
INTO TABLE logins
  WHEN (1:1) = 'L' AND user_name <> BLANKS
  FIELDS TERMINATED BY '|'
  (
    rec_type   FILLER,
    user_name  "TRIM",
    login_at   DATE 'YYYYMMDDHH24MISS',
    client     "REPLACE(:client, 'localhost', '127.0.0.1')"
  )
INTO TABLE shop_orders
  WHEN (1:1) = 'O'
  FIELDS TERMINATED BY '|'
  TRAILING NULLCOLS
  (
    rec_type   FILLER,
    item_code  "SUBSTR(:item_code, 1, 6)",
    order_no   "ev.order_seq.nextval",
    loaded_at  "SYSDATE",
    region     CONSTANT "EU",
    status     "DEFAULT"
  )
