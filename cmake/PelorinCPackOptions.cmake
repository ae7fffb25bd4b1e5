# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE). Each entry of
# CPACK_INSTALL_CMAKE_PROJECTS installs one component below a folder of the package.
list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 _pelorin_build)
if(CPACK_GENERATOR STREQUAL "DEB")
    # /opt/pelorin holds the program folder; /usr the launcher, menu entry, icon and README.
    set(CPACK_PACKAGING_INSTALL_PREFIX "/")
    set(CPACK_INSTALL_CMAKE_PROJECTS
        "${_pelorin_build};Pelorin;app;/opt/pelorin"
        "${_pelorin_build};Pelorin;system;/usr")
else()
    # The portable folder with the README and the note on the system packages it needs.
    set(CPACK_INSTALL_CMAKE_PROJECTS
        "${_pelorin_build};Pelorin;app;/"
        "${_pelorin_build};Pelorin;portable;/")
endif()
