# What `cmake --install` puts in place besides the libraries and headers (skeinwork_library): the
# umbrella target and header, the CMake package, the pkg-config file, and the Debian packages
# that `cpack -G DEB` makes from them.
include(CMakePackageConfigHelpers)

get_property(skeinworkLibraries GLOBAL PROPERTY SKEINWORK_LIBRARIES)

# Skeinwork::skeinwork: every layer and <skeinwork/skeinwork.h>.
add_library(skeinwork_all INTERFACE)
add_library(skeinwork::skeinwork ALIAS skeinwork_all)
set_target_properties(skeinwork_all PROPERTIES EXPORT_NAME skeinwork)
target_link_libraries(skeinwork_all INTERFACE ${skeinworkLibraries})
target_include_directories(skeinwork_all INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS skeinwork_all EXPORT SkeinworkTargets)
install(FILES ${PROJECT_SOURCE_DIR}/include/skeinwork/skeinwork.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/skeinwork COMPONENT development)

set(configDir ${CMAKE_INSTALL_LIBDIR}/cmake/Skeinwork)
install(EXPORT SkeinworkTargets NAMESPACE Skeinwork:: DESTINATION ${configDir} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/SkeinworkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/SkeinworkConfig.cmake INSTALL_DESTINATION ${configDir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/SkeinworkConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/SkeinworkConfig.cmake ${PROJECT_BINARY_DIR}/SkeinworkConfigVersion.cmake
        DESTINATION ${configDir} COMPONENT development)

# pkg-config: the libraries from the top layer down, as a linker wants them; a static build also
# needs the libraries they use themselves.
set(SKEINWORK_PC_LIBS "")
list(REVERSE skeinworkLibraries)
foreach(library IN LISTS skeinworkLibraries)
  string(APPEND SKEINWORK_PC_LIBS " -l${library}")
endforeach()
string(STRIP "${SKEINWORK_PC_LIBS}" SKEINWORK_PC_LIBS)
if(BUILD_SHARED_LIBS)
  set(SKEINWORK_PC_REQUIRES "fmt")
  set(SKEINWORK_PC_REQUIRES_PRIVATE "icu-uc zlib")
else()
  set(SKEINWORK_PC_REQUIRES "fmt icu-uc zlib")
  set(SKEINWORK_PC_REQUIRES_PRIVATE "")
endif()
file(RELATIVE_PATH SKEINWORK_PC_PREFIX_FROM_PCFILEDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" SKEINWORK_PC_PREFIX_FROM_PCFILEDIR "${SKEINWORK_PC_PREFIX_FROM_PCFILEDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/skeinwork.pc.in ${PROJECT_BINARY_DIR}/skeinwork.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/skeinwork.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

# Debian packages: the program (with the shared libraries when built so), the files to build
# against the library and, when built, the Python module.
set(CPACK_PACKAGE_NAME skeinwork)
set(CPACK_PACKAGE_VENDOR "Skeinwork")
set(CPACK_PACKAGE_CONTACT "Skeinwork developers <skeinwork@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Model-driven parser of binary and text files")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program development)
if(SKEINWORK_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-skeinwork)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS ON)
  math(EXPR nextMinor "${Python3_VERSION_MINOR} + 1")
  # The module is built for one minor version of the interpreter.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${nextMinor})")
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "The skeinwork Python module: model files with a script and walk the result tree from Python.")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME skeinwork)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libskeinwork-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libfmt-dev, libicu-dev, zlib1g-dev")
if(BUILD_SHARED_LIBS)
  string(APPEND CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ", skeinwork (= ${PROJECT_VERSION})")
endif()
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
  "The skeinwork command-line program: models a data file with a script and prints, saves or extracts the result tree.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Headers, libraries, CMake package (find_package(Skeinwork)) and pkg-config file of the Skeinwork parser library.")
include(CPack)
