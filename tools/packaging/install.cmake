# What `cmake --install BUILD [--prefix P]` puts where (P is /usr/local
# unless given), and the Debian package that `make package` builds with
# CPack from the same rules (P is /usr there):
#   P/bin/zibbet, P/bin/zibbet-bench
#   P/share/zibbet/bmoon1m.3ds, 0.tga ... 5.tga     the program's working folder
#   P/share/applications/zibbet.desktop             starts zibbet in P/share/zibbet
#   P/share/icons/hicolor/SIZExSIZE/apps/zibbet.png
# The program itself still reads its files from the working directory; the
# desktop entry's Path key is what makes a menu start it in the data folder.
set(ZIBBET_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ZIBBET_ICON_SIZES 48 256) # pixels: one small for menus, one large for docks

install(TARGETS zibbet zibbet-bench RUNTIME DESTINATION ${ZIBBET_INSTALL_BINDIR})

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
  set(ZIBBET_DESKTOP_TEMPLATE \"${ZIBBET_PACKAGING_DIR}/zibbet.desktop.in\")
  set(ZIBBET_DESKTOP_OUT \"${CMAKE_BINARY_DIR}/packaging/zibbet.desktop\")
  set(ZIBBET_INSTALL_BINDIR \"${ZIBBET_INSTALL_BINDIR}\")
  set(ZIBBET_INSTALL_DATADIR \"${ZIBBET_INSTALL_DATADIR}\")")
install(SCRIPT ${ZIBBET_PACKAGING_DIR}/desktop_entry.cmake)

# ---------------------------------------------------------------------------
# Debian package: make package (tools/packaging/package.sh)
# ---------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zibbet)
set(CPACK_PACKAGE_VERSION 0.9.0)
set(CPACK_PACKAGE_VENDOR "the Zibbet developers")
set(CPACK_PACKAGE_CONTACT "the Zibbet developers <zibbet@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "soft-body physics demonstration and benchmark")
set(CPACK_PACKAGE_DESCRIPTION
  "Zibbet turns a 3D scene into soft bodies of point masses and springs and drops them into a \
large textured cube that the mouse sets turning, drawn with OpenGL through freeglut. \
zibbet-bench runs the same simulation without a window and reports its rates and energies.")
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
