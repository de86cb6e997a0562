# Where an install puts the programs and their data, under the prefix.
# The demo itself is started by a launcher in bin that picks its working
# folder, so the real program lies beside the other private executables.
# Read by the main build and by the fuzz build: both compile startup/startup.cpp.
set(ZIBBET_INSTALL_BINDIR bin)
set(ZIBBET_INSTALL_LIBEXECDIR libexec/zibbet)
set(ZIBBET_INSTALL_DATADIR share/zibbet)
# Where the installed data folder lies, seen from the installed demo: named on
# standard error when the demo finds no scene.
file(RELATIVE_PATH ZIBBET_DATA_FROM_PROGRAM /${ZIBBET_INSTALL_LIBEXECDIR} /${ZIBBET_INSTALL_DATADIR})

# Gives startup/startup.cpp (at `source`) the data folder's place; called where
# the target that compiles it is made.
macro(zibbet_startup_definitions source)
  set_source_files_properties(${source} PROPERTIES
    COMPILE_DEFINITIONS ZIBBET_DATA_FROM_PROGRAM="${ZIBBET_DATA_FROM_PROGRAM}")
endmacro()
