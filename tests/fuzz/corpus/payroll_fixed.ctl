/* Payroll extract of the mainframe: fixed positions, one record per line,
   dates in two layouts. */
OPTIONS (SKIP = 1 DIRECT = TRUE)
LOAD INFILE 'payroll/pay_2025_03.dat'
REPLACE
INTO TABLE hr.payroll
(
  emp_no      POSITION(1:8)    CHAR(8),
  emp_name    POSITION(9:38)   CHAR(30),
  hire_date   POSITION(39:48)  DATE FORMAT 'YYYY-MM-DD',
  paid_at     POSITION(49:67)  DATE 'YYYY-MM-DD HH24:MI:SS',
  gross       POSITION(68:79)  CHAR,
  dept        POSITION(80)     CHAR(1),
  spare       FILLER POSITION(81:90)
)
