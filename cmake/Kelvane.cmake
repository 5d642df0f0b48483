# kelvane_library(NAME DEPS dep...): the library of one folder, built from every
# source file in it (sub folders listed in SUBDIRS are included too).
function(kelvane_library name)
  cmake_parse_arguments(K "" "" "DEPS;SUBDIRS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(sub ${K_SUBDIRS})
    file(GLOB more CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/*.cpp)
    list(APPEND srcs ${more})
  endforeach()
  add_library(kelvane_${name} STATIC ${srcs})
  target_include_directories(kelvane_${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(kelvane_${name} PUBLIC ${K_DEPS})
  set_property(GLOBAL APPEND PROPERTY KELVANE_LIBS kelvane_${name})
endfunction()

# Links every library of the project into a program. Classes register themselves
# by name from static initialisers, so whole archives are linked: a class that only
# a definition names must still be there.
function(kelvane_link_all target)
  get_property(libs GLOBAL PROPERTY KELVANE_LIBS)
  target_link_libraries(${target} PRIVATE -Wl,--whole-archive ${libs} -Wl,--no-whole-archive ${libs})
endfunction()

# kelvane_test(NAME DEPS dep...): one GoogleTest program from every source in
# tests/NAME; each test becomes a CTest case.
function(kelvane_test name)
  cmake_parse_arguments(K "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(test_${name} ${srcs})
  kelvane_link_all(test_${name})
  target_link_libraries(test_${name} PRIVATE ${K_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(test_${name} PRIVATE
    KELVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KELVANE_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  gtest_discover_tests(test_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 600)
endfunction()
