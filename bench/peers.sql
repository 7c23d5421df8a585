-- Schema of the peer comparison: the 16 columns of bench/gen_data.
CREATE TABLE big (
  id INTEGER, n1 INTEGER, n2 INTEGER, amount DECIMAL(12,2), ratio DOUBLE,
  name VARCHAR(20), descr VARCHAR(40), born DATE, seen TIMESTAMP, code BIGINT,
  tag VARCHAR(8), price DECIMAL(10,4), note VARCHAR(30), small INTEGER, due DATE, label VARCHAR(10)
);
