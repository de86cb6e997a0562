# What `cmake --install BUILD [--prefix P]` puts where (P is /usr/local
# unless given), and the Debian package that `make package` builds with
# CPack from the same rules (P is /usr there):
#   P/bin/zibbet                    launcher: runs the demo in the working
#                                   directory when it holds the scene, else
#                                   in P/share/zibbet
#   P/libexec/zibbet/zibbet         the demo itself
#   P/bin/zibbet-bench
#   P/share/zibbet/bmoon1m.3ds, 0.tga ... 5.tga     the demo's data folder
#   P/share/applications/org.zibbet.zibbet.desktop  runs P/bin/zibbet
#   P/share/metainfo/org.zibbet.zibbet.metainfo.xml
#   P/share/icons/hicolor/SIZExSIZE/apps/zibbet.png
#   P/share/man/man6/zibbet.6.gz, P/share/man/man1/zibbet-bench.1.gz
#   P/share/doc/zibbet/copyright, changelog.gz
# The demo itself still reads its files from the working directory; the
# launcher is what lets it start from any folder.
set(ZIBBET_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ZIBBET_ICON_SIZES 48 256) # pixels: one small for menus, one large for docks

set(ZIBBET_APP_ID org.zibbet.zibbet) # AppStream id; the desktop entry's name
set(ZIBBET_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS zibbet RUNTIME DESTINATION ${ZIBBET_INSTALL_LIBEXECDIR})
install(TARGETS zibbet-bench RUNTIME DESTINATION ${ZIBBET_INSTALL_BINDIR})

# The launcher finds the demo and the data folder from its own place.
file(RELATIVE_PATH ZIBBET_DATA_FROM_BIN /${ZIBBET_INSTALL_BINDIR} /${ZIBBET_INSTALL_DATADIR})
file(RELATIVE_PATH ZIBBET_PROGRAM_FROM_BIN /${ZIBBET_INSTALL_BINDIR}
  /${ZIBBET_INSTALL_LIBEXECDIR}/zibbet)
configure_file(${ZIBBET_PACKAGING_DIR}/zibbet.sh.in ${ZIBBET_PACKAGING_OUT}/bin/zibbet @ONLY)
install(PROGRAMS ${ZIBBET_PACKAGING_OUT}/bin/zibbet DESTINATION ${ZIBBET_INSTALL_BINDIR})

# The scene and faces that the build writes for `make run`.
set(ZIBBET_DATA_FILES ${CMAKE_BINARY_DIR}/run/bmoon1m.3ds)
foreach(face 0 1 2 3 4 5)
  list(APPEND ZIBBET_DATA_FILES ${CMAKE_BINARY_DIR}/run/${face}.tga)
endforeach()
install(FILES ${ZIBBET_DATA_FILES} DESTINATION ${ZIBBET_INSTALL_DATADIR})

# The icon, drawn by our own asset tool at each size.
set(ZIBBET_ICON_DIR ${CMAKE_BINARY_DIR}/icons)
foreach(size ${ZIBBET_ICON_SIZES})
  set(icon ${ZIBBET_ICON_DIR}/${size}x${size}/apps/zibbet.png)
  add_custom_command(OUTPUT ${icon}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZIBBET_ICON_DIR}/${size}x${size}/apps
    COMMAND zibbet-assets --icon ${size} ${icon}
    DEPENDS zibbet-assets
    COMMENT "Drawing the ${size} x ${size} icon")
  list(APPEND ZIBBET_ICONS ${icon})
  install(FILES ${icon} DESTINATION share/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(zibbet_icons ALL DEPENDS ${ZIBBET_ICONS})

# The desktop entry names the prefix, which is known only when installing.
install(CODE "
  set(ZIBBET_DESKTOP_TEMPLATE \"${ZIBBET_PACKAGING_DIR}/${ZIBBET_APP_ID}.desktop.in\")
  set(ZIBBET_DESKTOP_OUT \"${ZIBBET_PACKAGING_OUT}/${ZIBBET_APP_ID}.desktop\")
  set(ZIBBET_INSTALL_BINDIR \"${ZIBBET_INSTALL_BINDIR}\")")
install(SCRIPT ${ZIBBET_PACKAGING_DIR}/desktop_entry.cmake)

# AppStream metadata: software centres show the description and screenshot.
configure_file(${ZIBBET_PACKAGING_DIR}/${ZIBBET_APP_ID}.metainfo.xml.in
  ${ZIBBET_PACKAGING_OUT}/${ZIBBET_APP_ID}.metainfo.xml @ONLY)
install(FILES ${ZIBBET_PACKAGING_OUT}/${ZIBBET_APP_ID}.metainfo.xml DESTINATION share/metainfo)

# Manual pages and the changelog go compressed, without the name and time
# that gzip would otherwise store, so that the same sources give the same
# package.
function(zibbet_gzip source out_dir out_var)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${out_dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${out_dir}/${name}
    COMMAND gzip -9nf ${out_dir}/${name}
    DEPENDS ${source}
    COMMENT "Compressing ${name}")
  set(${out_var} ${out_dir}/${name}.gz PARENT_SCOPE)
endfunction()

zibbet_gzip(${CMAKE_SOURCE_DIR}/docs/man/zibbet.6 ${ZIBBET_PACKAGING_OUT}/man ZIBBET_MAN6)
zibbet_gzip(${CMAKE_SOURCE_DIR}/docs/man/zibbet-bench.1 ${ZIBBET_PACKAGING_OUT}/man ZIBBET_MAN1)
configure_file(${ZIBBET_PACKAGING_DIR}/changelog.in ${ZIBBET_PACKAGING_OUT}/changelog-text/changelog
  @ONLY)
zibbet_gzip(${ZIBBET_PACKAGING_OUT}/changelog-text/changelog ${ZIBBET_PACKAGING_OUT}/doc
  ZIBBET_CHANGELOG)
add_custom_target(zibbet_docs ALL DEPENDS ${ZIBBET_MAN6} ${ZIBBET_MAN1} ${ZIBBET_CHANGELOG})
install(FILES ${ZIBBET_MAN6} DESTINATION share/man/man6)
install(FILES ${ZIBBET_MAN1} DESTINATION share/man/man1)
install(FILES ${ZIBBET_PACKAGING_DIR}/copyright ${ZIBBET_CHANGELOG} DESTINATION share/doc/zibbet)

# ---------------------------------------------------------------------------
# Debian package: make package (packaging/package.sh)
# ---------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zibbet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Zibbet developers")
set(CPACK_PACKAGE_CONTACT "Zibbet developers <zibbet@zibbet.org>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zibbet.org/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "soft-body physics demonstration and benchmark")
# One line each: lintian wants the lines of the long description within 80
# columns, and CPack keeps the lines as given.
set(CPACK_PACKAGE_DESCRIPTION [=[
Zibbet turns a 3D scene into soft bodies of point masses and springs and
drops them into a large textured cube that the mouse sets turning, drawn
with OpenGL through freeglut.
.
zibbet-bench runs the same simulation without a window and reports its
speed and energies.]=])
# Install with the real prefix and stage through DESTDIR: the desktop entry
# written at install time must name /usr, not CPack's staging folder.
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# dpkg-shlibdeps names the packages of the libraries the programs link,
# freeglut (libglut3.12), GL (libgl1) and GLU (libglu1-mesa) among them, with
# the versions their symbols need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
