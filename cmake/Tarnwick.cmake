# Build conventions shared by every folder.

set(TK_WARNINGS -Wall -Wextra -Wpedantic -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # g++ 12 at -O3 reports overlapping copies inside std::string's own
  # inlined code (a known false positive of -Wrestrict in that release).
  list(APPEND TK_WARNINGS -Wno-restrict)
endif()

if(TK_SANITIZE OR TK_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TK_FUZZ)
  # Coverage instrumentation for the libraries under test; the fuzz build is
  # about robustness, so a warning of the other compiler does not stop it.
  add_compile_options(-fsanitize=fuzzer-no-link)
  set(TK_WARNINGS -Wall -Wextra)
endif()

# tk_layer(NAME [DEPS target...] [EXCLUDE file.cpp...]): one library per
# folder, built from every .cpp file in it but the excluded ones (units that
# a folder builds into a target of their own because they need a higher
# layer). A folder with no sources yet is an interface target.
function(tk_layer name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(x IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${x})
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE ${TK_WARNINGS})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# tk_test_folder(NAME [DEPS target...]): one GoogleTest executable from every
# *_test.cpp file of the current folder.
function(tk_test_folder name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_options(${name} PRIVATE ${TK_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} tk_test_support GTest::gtest_main GTest::gmock)
  # Every test runs headless, whatever display the shell has: the tests that
  # show windows start their own display and say so to their programs.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 ENVIRONMENT TK_HEADLESS=1)
endfunction()

# tk_add_subfolders(): every subfolder of the current folder that has a
# CMakeLists.txt, so that a new area needs no edit of its parent.
function(tk_add_subfolders)
  file(GLOB subdirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(d ${subdirs})
    if(IS_DIRECTORY ${d} AND EXISTS ${d}/CMakeLists.txt)
      add_subdirectory(${d})
    endif()
  endforeach()
endfunction()
