/* Payroll extract of the mainframe: fixed positions, a heading line,
   dates in two layouts. */
OPTIONS (SKIP = 1)
LOAD INFILE '../data/pay_2025_03.dat'
REPLACE
INTO TABLE payroll
(
  emp_no      POSITION(1:8)    CHAR(8),
  emp_name    POSITION(9:38)   CHAR(30) "TRIM",
  hire_date   POSITION(39:48)  DATE FORMAT 'YYYY-MM-DD',
  paid_at     POSITION(49:67)  DATE 'YYYY-MM-DD HH24:MI:SS',
  gross       POSITION(68:79)  CHAR "TRIM",
  dept        POSITION(80)     CHAR(1)
)
