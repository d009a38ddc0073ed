# Install rules, the CMake package (wsr37100::wsr37100), the pkg-config file and CPack.
include(CMakePackageConfigHelpers)

install(TARGETS wsr37100 EXPORT wsr37100Targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/wsr37100.h include/wsr37100.hpp include/wsr37100_falha.hpp
  include/wsr37100_export.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The JavaScript client as one ES module and its types, once its npm build has written them
# (`make package` builds it first): a web point of sale copies them to its site.
install(FILES clients/js/dist/wsr37100-client.js clients/js/dist/wsr37100-client.d.ts
  DESTINATION ${CMAKE_INSTALL_DATADIR}/wsr37100/web OPTIONAL)
# The guides and their images beside the README, where its links lead, in every package.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs PATTERN README-Windows.txt EXCLUDE)
if(WIN32)
  # A short Windows quick start, the license, and the declarations for Object Pascal and C# hosts at
  # the top of each architecture's folder of the zip, where the quick start points.
  configure_file(docs/README-Windows.txt ${CMAKE_BINARY_DIR}/README-Windows.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README-Windows.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
  install(FILES examples/pascal/wsr37100.pas DESTINATION examples/pascal)
  install(FILES examples/csharp/Wsr37100.cs DESTINATION examples/csharp)
  # What the README links beside it: the license and the changes (the .deb has its copyright and changelog).
  install(FILES LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  # Debian's copyright (the MIT license of LICENSE, as the Expat license) and changelog (made from
  # CHANGELOG.md, compressed, as policy asks).
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
  file(READ LICENSE license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${license}")
  set(WSR37100_COPYRIGHT "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]+\n\n" "" license "${license}")
  string(REGEX REPLACE "\n+$" "" license "${license}")
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REGEX REPLACE "\n" "\n " WSR37100_LICENSE_TEXT " ${license}")
  configure_file(cmake/debian/copyright ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)
  include(cmake/debian/changelog.cmake)
  wsr37100_debian_changelog(${CMAKE_SOURCE_DIR}/CHANGELOG.md ${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in
    ${CMAKE_BINARY_DIR}/debian/changelog.Debian)
  execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/changelog.Debian)
  install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The Python module, for Debian's Python when installed under /usr (elsewhere: pip install examples/python).
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      file(INSTALL \"${CMAKE_SOURCE_DIR}/examples/python/wsr37100.py\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/python3/dist-packages\")
    endif()")
endif()
if(WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/bin/wsr37100.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(TARGET wsr37100_cli)
  install(TARGETS wsr37100_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET wsr37100_service)
  # `wsr37100 serve`: a sample configuration, the OpenAPI description of its HTTP API (the one it serves
  # at /v1/openapi.json) and, on Linux, a systemd unit that is installed but not enabled.
  install(FILES tools/service/serve.json tools/service/openapi.json DESTINATION ${CMAKE_INSTALL_DATADIR}/wsr37100)
  if(NOT WIN32)
    # Written at install time: its paths are those of the prefix installed to. Installed under /usr (a
    # package) or /usr/local (make install), it reads /etc/wsr37100/serve.json, as docs/operations.md says;
    # under another prefix, PREFIX/etc/wsr37100/serve.json.
    install(CODE "
      set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      set(CMAKE_INSTALL_FULL_SYSCONFDIR \"\${CMAKE_INSTALL_PREFIX}/etc\")
      if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr(/local)?/?$\")
        set(CMAKE_INSTALL_FULL_SYSCONFDIR /etc)
      endif()
      configure_file(\"${CMAKE_SOURCE_DIR}/tools/service/wsr37100-serve.service.in\"
        \"${CMAKE_BINARY_DIR}/wsr37100-serve.service\" @ONLY)
      file(INSTALL \"${CMAKE_BINARY_DIR}/wsr37100-serve.service\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")")
  endif()
endif()

install(EXPORT wsr37100Targets NAMESPACE wsr37100:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/wsr37100)
configure_package_config_file(cmake/wsr37100Config.cmake.in ${CMAKE_BINARY_DIR}/wsr37100Config.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/wsr37100)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/wsr37100ConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/wsr37100Config.cmake ${CMAKE_BINARY_DIR}/wsr37100ConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/wsr37100)
configure_file(cmake/wsr37100.pc.in ${CMAKE_BINARY_DIR}/wsr37100.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/wsr37100.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME wsr37100)
set(CPACK_PACKAGE_VENDOR wsr37100)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Reads the current weight from a retail scale on a serial port")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Debian's tools take the packager from DEBFULLNAME and DEBEMAIL; so does this build.
if(DEFINED ENV{DEBEMAIL} AND DEFINED ENV{DEBFULLNAME})
  set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(maintainer "wsr37100 maintainers <maintainers@wsr37100.invalid>")
endif()
set(WSR37100_PACKAGE_MAINTAINER "${maintainer}" CACHE STRING "The .deb's maintainer: Name <address>")
set(CPACK_PACKAGE_CONTACT "${WSR37100_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WSR37100_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows)
  # One archive with both DLLs: x86/ from the 32-bit build, x64/ from this one.
  if(WSR37100_WIN32_BUILD)
    set(CPACK_INSTALL_CMAKE_PROJECTS
      "${WSR37100_WIN32_BUILD};wsr37100;ALL;/x86"
      "${CMAKE_BINARY_DIR};wsr37100;ALL;/x64")
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12)")
  # The Python module in /usr/lib/python3/dist-packages is for Debian's Python.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
endif()
include(CPack)
