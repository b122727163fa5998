# How the kit's libraries are made.
#
# Headers are included with a "tessaro/" prefix everywhere (<tessaro/records/records.hpp>), which is
# their path in the repository: the repository root is on the include path, and installed headers
# go to include/tessaro/<name>/. The one exception are the generated headers (version, export
# macros), which live in the build tree under ${TESSARO_GENERATED_ROOT}/tessaro/.
set(TESSARO_GENERATED_ROOT ${PROJECT_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${TESSARO_GENERATED_ROOT}/tessaro)

include(GenerateExportHeader)

# tessaro_add_package_library(NAME sdk OUTPUT tessaro-sdk EXPORT TessaroSDKTargets)
# An installable library (target tessaro_<NAME>, alias TessaroSDK::<NAME>, file lib<OUTPUT>) that
# the subsystems of tessaro_cc_library fill with their objects. Static unless BUILD_SHARED_LIBS;
# a shared one has a SONAME and exports only what carries the export macro.
function(tessaro_add_package_library)
  cmake_parse_arguments(P "" "NAME;OUTPUT;EXPORT;MACRO" "" ${ARGN})
  set(target tessaro_${P_NAME})
  add_library(${target})
  add_library(TessaroSDK::${P_NAME} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${P_OUTPUT}
    EXPORT_NAME ${P_NAME}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINKER_LANGUAGE CXX)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${TESSARO_GENERATED_ROOT}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  generate_export_header(${target}
    BASE_NAME ${P_MACRO}
    EXPORT_FILE_NAME ${TESSARO_GENERATED_ROOT}/tessaro/${P_NAME}_export.hpp)
  if(TESSARO_INSTALL)
    install(TARGETS ${target} EXPORT ${P_EXPORT}
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${TESSARO_GENERATED_ROOT}/tessaro/${P_NAME}_export.hpp
      DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessaro)
  endif()
endfunction()

# tessaro_cc_library(NAME records INTO sdk [FOLDER name] SOURCES ... [PUBLIC ...] [PRIVATE ...])
# One subsystem: an object library tessaro_<NAME> (alias tessaro::<NAME>) whose objects go into the
# package library tessaro_<INTO>. PUBLIC and PRIVATE name outside dependencies (their usage reaches
# the package library, PUBLIC ones its users too); the subsystems share one include root (the
# repository's), so a subsystem needs no link to another. Every header of the folder (not internal/, not testing/) is
# public and installs under include/tessaro/<FOLDER>/ (FOLDER defaults to NAME).
function(tessaro_cc_library)
  cmake_parse_arguments(L "" "NAME;INTO;FOLDER" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  if(NOT L_FOLDER)
    set(L_FOLDER ${L_NAME})
  endif()
  set(target tessaro_${L_NAME})
  set(package tessaro_${L_INTO})
  add_library(${target} OBJECT ${L_SOURCES})
  add_library(tessaro::${L_NAME} ALIAS ${target})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR} ${TESSARO_GENERATED_ROOT})
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  if(BUILD_SHARED_LIBS)
    # What GenerateExportHeader expects while the library's own sources are compiled.
    target_compile_definitions(${target} PRIVATE ${package}_EXPORTS)
  endif()
  target_link_libraries(${target} PUBLIC ${L_PUBLIC} PRIVATE ${L_PRIVATE})
  target_sources(${package} PRIVATE $<TARGET_OBJECTS:${target}>)
  target_link_libraries(${package} PUBLIC ${L_PUBLIC} PRIVATE ${L_PRIVATE})
  if(TESSARO_INSTALL)
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.hpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessaro/${L_FOLDER})
  endif()
endfunction()

# tessaro_testing_library(NAME crypto [SOURCES ...] LIBS ...): the test-only helpers of a
# subsystem (its testing/ folder), as tessaro_<NAME>_testing; header-only when there are no sources.
function(tessaro_testing_library)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT TESSARO_BUILD_TESTS)
    return()
  endif()
  set(target tessaro_${T_NAME}_testing)
  if(T_SOURCES)
    add_library(${target} STATIC ${T_SOURCES})
    target_link_libraries(${target} PUBLIC ${T_LIBS} GTest::gtest)
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${T_LIBS} GTest::gtest)
  endif()
endfunction()
