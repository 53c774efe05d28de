# Debian packages, one for each install component (scripts/package.sh makes
# them with `cpack -G DEB`):
#
#   component    package        holds
#   library      libgfx16-1     the shared library
#   development  libgfx16-dev   the header, pkg-config and CMake files, the example
#   programs     gfx16          gfx16conv, gfx16, gfx16-encode, the manual page
#   python       python3-gfx16  the Python module (built with -DGFX16_PYTHON=ON)
#
# What the packages need from the system, dpkg-shlibdeps works out from what
# their binaries link; what they need of each other comes from the
# components' DEPENDS below, at the same version.

set(GFX16_PACKAGE_MAINTAINER "the gfx16 developers <gfx16@users.noreply.example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(GFX16_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME gfx16)
set(CPACK_PACKAGE_VENDOR "the gfx16 developers")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${GFX16_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${GFX16_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The Python module links libgfx16.so.1, which is no system library yet when
# the packages are made: dpkg-shlibdeps finds it in the build tree and leaves
# the dependency to the component's.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libgfx16-1)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# ldconfig runs once after all packages are unpacked, by the trigger.
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "packed HSV picture codec - shared library
gfx16 stores a true-colour picture as 16-bit packed HSV codes (7 bits of
value, 6 of hue, 3 of saturation) in an 8-bit carrier picture twice as high.
This package holds the codec library: the encoders, nearest-code search and
decoder.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libgfx16-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "packed HSV picture codec - development files
gfx16 stores a true-colour picture as 16-bit packed HSV codes in an 8-bit
carrier picture twice as high. This package holds what a program needs to
use the codec library: the header <gfx16/codec.h>, the pkg-config file, the
CMake package (find_package(gfx16)) and an example program.")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME gfx16)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "packed HSV picture codec - converter and viewer
gfx16 stores a true-colour picture as 16-bit packed HSV codes in an 8-bit
carrier picture twice as high. This package holds gfx16conv, which converts
pictures to carriers and back and compares them, and the desktop programs
gfx16-encode and gfx16, which show a picture beside its encoded preview and
a carrier's picture.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-gfx16)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_COMPONENT_PYTHON_DEPENDS library)
# A compiled module serves the one version of Python it was built for; numpy
# it finds at run time.
if(GFX16_PYTHON_VERSION MATCHES "^([0-9]+)\\.([0-9]+)$")
  math(EXPR next_minor "${CMAKE_MATCH_2} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${GFX16_PYTHON_VERSION}~), python3 (<< ${CMAKE_MATCH_1}.${next_minor}), python3-numpy")
endif()
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "packed HSV picture codec - Python 3 module
gfx16 stores a true-colour picture as 16-bit packed HSV codes in an 8-bit
carrier picture twice as high. This package holds the module gfx16, which
encodes and decodes pictures held in numpy arrays and reads and writes
carrier BMP files in memory.")

# Every package carries the licence and a changelog in
# /usr/share/doc/PACKAGE, as Debian asks. They are made at configure time and
# installed only into the packages, not by a plain `cmake --install`.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "^MIT License\n\nCopyright \\(c\\) [^\n]*\n\n" "" licence "${licence}")
string(REGEX REPLACE "\n$" "" licence "${licence}")
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: gfx16

Files: *
Copyright: 2026 the gfx16 developers
License: Expat

License: Expat
 ${licence}
")
string(TIMESTAMP package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/debian/changelog.Debian
"gfx16 (${PROJECT_VERSION}-${GFX16_PACKAGE_RELEASE}) unstable; urgency=medium

  * gfx16 ${PROJECT_VERSION}.

 -- ${GFX16_PACKAGE_MAINTAINER}  ${package_date}
")
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/debian/changelog.Debian)

# The components are named here rather than gathered from the install rules,
# since the programs' rules come after this file.
set(CPACK_COMPONENTS_ALL library development)
if(GFX16_PROGRAMS)
  list(APPEND CPACK_COMPONENTS_ALL programs)
endif()
if(GFX16_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} name)
  set(package ${CPACK_DEBIAN_${name}_PACKAGE_NAME})
  install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES examples/CMakeLists.txt examples/ppm_roundtrip.c
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libgfx16-dev/examples COMPONENT development EXCLUDE_FROM_ALL)

# Debian keeps manual pages compressed; a plain install leaves them as they are.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/compress-manual-pages.cmake)

include(CPack)
