-- Tables of the demo database (build/demo/demo.db), made fresh by scripts/demo.
CREATE TABLE orders (
  order_id    INTEGER PRIMARY KEY,
  customer_id INTEGER NOT NULL,
  order_note  VARCHAR(40),
  amount      DECIMAL(12,2),
  currency    CHAR(3),
  ordered_at  DATE
);
CREATE TABLE payroll (
  emp_no    VARCHAR(8) NOT NULL,
  emp_name  VARCHAR(30),
  hire_date DATE,
  paid_at   TIMESTAMP,
  gross     DECIMAL(12,2),
  dept      CHAR(1)
);
CREATE TABLE logins (
  user_name VARCHAR(20),
  login_at  TIMESTAMP,
  client    VARCHAR(40)
);
CREATE TABLE shop_orders (
  order_no  INTEGER,
  item_code VARCHAR(6),
  loaded_at TIMESTAMP,
  region    VARCHAR(4),
  status    VARCHAR(10) DEFAULT 'new'
);
