# The one place that picks the Qt: 5.15 by default, or 6 (6.4 and later) with -DPELORIN_QT=6.
# Every target links the versionless targets (Qt::Core, ...), which both provide. What differs
# beside them is the package: a Qt 6 build carries "+qt6" in its version and file names, and
# its note on the system packages names Qt 6's.
set(PELORIN_QT 5 CACHE STRING "Qt major version to build against: 5 or 6")
set_property(CACHE PELORIN_QT PROPERTY STRINGS 5 6)
if(PELORIN_QT STREQUAL "5")
    set(PELORIN_QT_MIN 5.15)
    set(PELORIN_PACKAGE_VERSION ${PROJECT_VERSION})
    set(PELORIN_RUNTIME_PACKAGES "libqt5webenginewidgets5 libqt5webenginecore5 libqt5widgets5 \\
        libqt5network5 libqt5gui5 libqt5core5a libhttp-parser2.9")
elseif(PELORIN_QT STREQUAL "6")
    set(PELORIN_QT_MIN 6.4)
    set(PELORIN_PACKAGE_VERSION ${PROJECT_VERSION}+qt6)
    set(PELORIN_RUNTIME_PACKAGES "libqt6webenginewidgets6 libqt6webenginecore6 \\
        libqt6webenginecore6-bin libqt6webchannel6 libqt6widgets6 libqt6network6 libqt6gui6 \\
        libqt6core6 libhttp-parser2.9")
else()
    message(FATAL_ERROR "PELORIN_QT must be 5 or 6, not '${PELORIN_QT}'")
endif()
find_package(Qt${PELORIN_QT} ${PELORIN_QT_MIN} REQUIRED COMPONENTS
    Core Gui Widgets Network WebEngineWidgets WebChannel Test)
message(STATUS "Building against Qt ${Qt${PELORIN_QT}_VERSION}")
