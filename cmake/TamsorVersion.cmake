# The release's version is written in two places: project() in CMakeLists.txt
# (the Windows package, the programs' version resources) and the newest entry
# of debian/changelog (the Debian packages). A release must not ship two
# numbers, so configuring stops when they disagree; a changed changelog
# configures the build again.
#
# Run as a script it checks the two given on its command line:
#   cmake -DVERSION=0.1 -DCHANGELOG=debian/changelog -P cmake/TamsorVersion.cmake

# The upstream part of the newest entry's version: "tamsor (1:0.2-3) ..." is
# 0.2 (no epoch, no Debian revision).
function(tamsor_changelog_version changelog out)
    file(STRINGS ${changelog} first LIMIT_COUNT 1)
    if(NOT first MATCHES "^[a-z0-9][a-z0-9.+-]* \\(([^ )]+)\\)")
        message(FATAL_ERROR "No version on the first line of ${changelog} "
                            "(\"package (version) distribution; urgency=...\"): ${first}")
    endif()
    string(REGEX REPLACE "^[0-9]+:" "" version "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "-[^-]+$" "" version "${version}")
    set(${out} "${version}" PARENT_SCOPE)
endfunction()

function(tamsor_check_changelog_version version changelog)
    if(NOT EXISTS ${changelog})
        return()
    endif()
    if(NOT CMAKE_SCRIPT_MODE_FILE)
        set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
    endif()
    tamsor_changelog_version(${changelog} stated)
    if(NOT stated STREQUAL version)
        message(FATAL_ERROR "Two versions: ${changelog} says ${stated}, the project() in "
                            "CMakeLists.txt says ${version}. Give both the release's version.")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    tamsor_check_changelog_version("${VERSION}" "${CHANGELOG}")
endif()
