-- Orders exported from the shop system: comma-separated, text fields in
-- double quotes, and the last columns of a row may be missing.
OPTIONS (
  LOG = 'logs/orders.log'
  BADFILE = 'logs/orders.bad'
  ERRORS = 50
  ROWS = 10000
  CHARACTER_CODE = 'UTF-8'
)
LOAD DATA
INFILE 'data/orders_2024.csv', 'data/orders_2025.csv' STR X '0A'
BADFILE 'rejects/orders.bad'
APPEND
INTO TABLE sales.orders
FIELDS TERMINATED BY ','
OPTIONALLY ENCLOSE BY '"'
TRAILING NULLCOLS
(
  order_id,
  customer_id,
  order_note,
  amount,
  currency
)
