-- One event log feeds three tables, chosen by the record type in column 1.
LOAD DATA
INFILE 'events/*.log' STARTING BY '#' TERMINATED BY X '0D0A'
INSERT
INTO TABLE ev.logins EP (1, 2)
  WHEN (1:1) = 'L' AND user_name <> BLANKS
  FIELDS TERMINATED BY X '7C'
  (
    rec_type   FILLER,
    user_name  TERMINATED BY WHITESPACE "TRIM",
    login_at   DATE 'YYYYMMDDHH24MISS',
    client     "REPLACE(:client, 'localhost', '127.0.0.1')"
  )
INTO TABLE ev.orders
  WHEN (1:1) = 'O'
  FIELDS TERMINATED BY '|'
  ESCAPED BY '\\'
  (
    rec_type   FILLER,
    order_no   "ev.order_seq.nextval",
    item_code  "SUBSTR(:item_code, 1, 6)",
    loaded_at  "SYSDATE",
    region     CONSTANT "EU"
  )
INTO TABLE ev.misc
  WHEN (1:1) != 'L' AND (1:1) != 'O'
  (
    rec_type,
    payload    "CONCAT(:payload, CHR(59), UPPER(:rec_type))"
  )
