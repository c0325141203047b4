# Helpers shared by every subsystem's CMakeLists.txt.

# qm_library(<name> SRCS <files...> [DEPS <targets...>])
# Builds the static library qm_<name>. Libraries whose objects register themselves from
# static initialisers are linked with qm_link_whole() by their users.
function(qm_library name)
  cmake_parse_arguments(ARG "" "" "SRCS;DEPS" ${ARGN})
  add_library(qm_${name} STATIC ${ARG_SRCS})
  target_link_libraries(qm_${name} PUBLIC ${ARG_DEPS})
endfunction()

# qm_test(<name> SRCS <files...> [DEPS <targets...>])
# One GoogleTest binary; every test case becomes a ctest entry.
function(qm_test name)
  cmake_parse_arguments(ARG "" "" "SRCS;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SRCS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300)
endfunction()

# qm_link_whole(<target> <libs...>): links libraries whole so that objects which only
# register themselves from static initialisers are kept by the linker.
function(qm_link_whole target)
  foreach(lib IN LISTS ARGN)
    target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${lib}>")
  endforeach()
endfunction()
