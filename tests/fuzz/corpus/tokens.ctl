/* a /* b */ */ 'abc'
  -- x
 'def' B'0101' X'7F' "q""\" 0000123 9223372036854775807 TRAILING
 NULLCOLS