# Manual pages and packages. Two install components: "site" for the PC side
# (gatesimd, libgatesim with its header, boardbox, the Wireshark dissector,
# the manual pages) and "board" for what goes on the gateway (gwlinkd,
# fwwriter, headflash, gwcfg, gwwebd). `cpack -G DEB` makes the site package;
# scripts/package lays the board bundle out from an armel build.

include(GNUInstallDirs)

foreach(page gwlinkd.8 gwcfg.8 gwwebd.8 fwwriter.8 headflash.8 gatesimd.1 boardbox.1 libgatesim.3)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${CMAKE_SOURCE_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT site)
endforeach()
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/wireshark/gwlink.lua)
  install(FILES ${CMAKE_SOURCE_DIR}/tools/wireshark/gwlink.lua
          DESTINATION ${CMAKE_INSTALL_DATADIR}/wireshark/plugins COMPONENT site)
endif()

set(CPACK_PACKAGE_NAME gwlink-site)
set(CPACK_PACKAGE_VENDOR "gwlink")
set(CPACK_PACKAGE_VERSION 0.9.0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gwlink site tools: gatesimd, libgatesim, boardbox")
set(CPACK_PACKAGE_CONTACT "gwlink developers <dev@gwlink.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL site)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
# boardbox's flash stand-in and the tests' helpers are run from inside boxes.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3")
include(CPack)
