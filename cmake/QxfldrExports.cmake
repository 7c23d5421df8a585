# The shared object's dynamic symbol table: exactly the names of a list kept
# in the tree.
#
# Hidden visibility already keeps the library's own helpers inside, but the
# C++ standard library's headers give their template instantiations default
# visibility, so std:: code the library instantiates would leave the shared
# object and become part of its interface by accident. A linker version script
# made from the list exports the listed names and makes every other symbol
# local, whatever its visibility.

# qx_export_only_listed(target list_file)
#   list_file: one symbol a line; blank lines and lines starting with "#" are
#   comments.
function(qx_export_only_listed target list_file)
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})
  file(STRINGS ${list_file} symbols REGEX "^[A-Za-z_][A-Za-z0-9_]*$")
  list(LENGTH symbols count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${list_file} lists no symbols")
  endif()
  list(JOIN symbols ";\n    " body)
  set(map ${CMAKE_BINARY_DIR}/${target}.map)
  file(CONFIGURE OUTPUT ${map} CONTENT "{\n  global:\n    ${body};\n  local:\n    *;\n};\n")
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()
