# Installing the host tools ("cmake --install build/host --prefix DIR") and
# their Debian package ("cpack -G DEB" in build/host, or "make package"):
#   bin/imagetool, bin/boardsim
#   lib/bootmgr/bootmgr           the host build of the boot manager, which boardsim boots
#   share/bootmgr/demo/*.img      the demo images of "boardsim new --demo"
#   share/man/man1/imagetool.1.gz, boardsim.1.gz
# boardsim finds the last two from its own folder (tools/boardsim/verbs/main.cpp).
include(GNUInstallDirs)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The manual pages: a troff source per tool, its VERBS section made from the
# tool's own --help (scripts/manpage), so the page follows the help texts.
set(MAN_DIR ${CMAKE_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${MAN_DIR})
set(MAN_PAGES)
foreach(tool imagetool boardsim)
  add_custom_command(
    OUTPUT ${MAN_DIR}/${tool}.1.gz
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/manpage $<TARGET_FILE:${tool}>
            ${PROJECT_SOURCE_DIR}/tools/${tool}/${tool}.1.in ${MAN_DIR}/${tool}.1.gz ${PROJECT_VERSION}
    DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/tools/${tool}/${tool}.1.in ${PROJECT_SOURCE_DIR}/scripts/manpage
    COMMENT "Writing the manual page ${tool}(1)"
    VERBATIM)
  list(APPEND MAN_PAGES ${MAN_DIR}/${tool}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${MAN_PAGES})

install(TARGETS imagetool boardsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS bootmgr RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/bootmgr)
install(DIRECTORY ${CMAKE_BINARY_DIR}/demo/ DESTINATION ${CMAKE_INSTALL_DATADIR}/bootmgr/demo
        FILES_MATCHING PATTERN "*.img")
install(FILES ${MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package. The libraries it needs come from dpkg-shlibdeps when
# it is there (Debian's dpkg-dev); the board's tools are named by hand.
set(CPACK_PACKAGE_NAME bootmgr-host-tools)
set(CPACK_PACKAGE_VENDOR "bootmgr project")
set(CPACK_PACKAGE_CONTACT "bootmgr project <bootmgr@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Host tools of the bootmgr boot manager: imagetool and boardsim")
set(CPACK_PACKAGE_DESCRIPTION
    "imagetool builds, inspects, signs and verifies the switch's image files; boardsim is the emulated switch that runs the boot manager (included) on emulated flash, I2C devices, console, network and USB stick.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bubblewrap, busybox, fuse3, dnsmasq-base, iproute2, lrzsz, libfaketime")
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6, libstdc++6, libfuse3-3, libssl3")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
