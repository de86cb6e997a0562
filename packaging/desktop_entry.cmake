# Runs at install time: writes the desktop entry for the prefix being
# installed to, which may be given only now (cmake --install --prefix), and
# installs it so that it is listed in install_manifest.txt like every other
# file. Set before it runs: ZIBBET_DESKTOP_TEMPLATE, ZIBBET_DESKTOP_OUT and
# ZIBBET_INSTALL_BINDIR (relative to the prefix). The entry runs the
# launcher, which finds the data folder itself.

# A desktop entry's string values take \\ for a backslash and \s for a
# leading blank.
function(zibbet_desktop_string text out)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REGEX REPLACE "^ " "\\\\s" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The Exec key: a program path holding a blank or another reserved character
# goes in double quotes, with " ` $ \ escaped inside them; % is doubled. Then
# the value is escaped as any string value.
function(zibbet_desktop_exec program out)
  string(REPLACE "%" "%%" program "${program}")
  if(program MATCHES "[ \t\"'\\\\<>~|&;$*?#()`]")
    string(REPLACE "\\" "\\\\" program "${program}")
    string(REPLACE "\"" "\\\"" program "${program}")
    string(REPLACE "`" "\\`" program "${program}")
    string(REPLACE "$" "\\$" program "${program}")
    set(program "\"${program}\"")
  endif()
  zibbet_desktop_string("${program}" program)
  set(${out} "${program}" PARENT_SCOPE)
endfunction()

# The prefix as the installed files will see it: without DESTDIR, which
# only stages them (CPack, or a package build).
zibbet_desktop_exec("${CMAKE_INSTALL_PREFIX}/${ZIBBET_INSTALL_BINDIR}/zibbet" ZIBBET_DESKTOP_EXEC)
configure_file("${ZIBBET_DESKTOP_TEMPLATE}" "${ZIBBET_DESKTOP_OUT}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications" TYPE FILE
  FILES "${ZIBBET_DESKTOP_OUT}")
