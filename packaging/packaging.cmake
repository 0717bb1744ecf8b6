# The Debian package (make deb): orrisvane, orrisvane-dump and orrisvane-capture, the
# desktop entry and the icons, as cmake --install lays them out under /usr. Its postinst
# lets the members of one group capture: the capture agent becomes root:orrisvane 0750
# with cap_net_raw and cap_net_admin, and nothing else holds a capability.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orrisvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orrisvane developers <orrisvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop packet monitor: every Ethernet frame of one adapter as a row")
set(CPACK_PACKAGE_DESCRIPTION "Orrisvane lists every Ethernet frame one network adapter sees as a row: size, \
direction, addresses, protocols, TCP ports, sequence numbers and connections. Only the small capture \
agent orrisvane-capture holds the right to capture, and only members of the group orrisvane may run it.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap for the grant, groupadd for the group.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
