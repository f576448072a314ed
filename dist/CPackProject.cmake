# Read by cpack once per generator. The install script (install-desktop.cmake)
# learns from KELVANE_PACKAGE what it installs for: the .deb, whose files
# name /usr, or an archive, whose staging folder means nothing once unpacked.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_CUSTOM_INSTALL_VARIABLES "KELVANE_PACKAGE=deb")
else()
    set(CPACK_CUSTOM_INSTALL_VARIABLES "KELVANE_PACKAGE=archive")
endif()
