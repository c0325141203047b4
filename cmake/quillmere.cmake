# Helpers shared by every subsystem's CMakeLists.txt.

# Protocol Buffers: C++ for the lite runtime, generated at build time by qm_proto_library.
find_package(Protobuf REQUIRED)
# FlatBuffers: schema code generated at build time by qm_flatbuffers_library.
find_package(FlatBuffers CONFIG REQUIRED)

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

# qm_subsystem(<name> [DEPS <targets...>] [TEST_DEPS <targets...>] [EXCLUDE <regex>])
# Builds qm_<name> from every *.cc below the calling folder except tests (*_test.cc), fuzz
# targets (*_fuzz.cc) and files matching EXCLUDE, and one test binary per *_test.cc, named
# after its path (graph/stream_handler/foo_test.cc -> graph_stream_handler_foo_test).
# New files are picked up at the next build without editing CMake.
function(qm_subsystem name)
  cmake_parse_arguments(ARG "" "EXCLUDE" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB_RECURSE all_cc CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  set(srcs "")
  set(tests "")
  foreach(f IN LISTS all_cc)
    if(f MATCHES "_test\\.cc$")
      list(APPEND tests ${f})
    elseif(f MATCHES "_fuzz\\.cc$" OR f MATCHES "_main\\.cc$")
    elseif(ARG_EXCLUDE AND f MATCHES "${ARG_EXCLUDE}")
    else()
      list(APPEND srcs ${f})
    endif()
  endforeach()
  if(srcs)
    add_library(qm_${name} STATIC ${srcs})
    target_link_libraries(qm_${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(qm_${name} INTERFACE)
    target_link_libraries(qm_${name} INTERFACE ${ARG_DEPS})
  endif()
  foreach(t IN LISTS tests)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${t})
    string(REGEX REPLACE "\\.cc$" "" rel ${rel})
    string(REPLACE "/" "_" tname ${rel})
    qm_test(${tname} SRCS ${t} DEPS qm_${name} ${ARG_TEST_DEPS})
  endforeach()
endfunction()

# qm_proto_library(<name> PROTOS <files...> [DEPS <targets...>])
# Generates lite-runtime C++ from .proto files of the calling folder and builds the static
# library qm_<name> from it. Imports are written from the repository root
# ("graph_config/calculator_options.proto"); the generated header of <folder>/foo.proto is
# <build>/<folder>/foo.pb.h, included as "<folder>/foo.pb.h". DEPS names the proto libraries
# whose files are imported, so that their headers exist before this library compiles.
function(qm_proto_library name)
  cmake_parse_arguments(ARG "" "" "PROTOS;DEPS" ${ARGN})
  set(abs_protos "")
  foreach(proto IN LISTS ARG_PROTOS)
    get_filename_component(abs ${proto} ABSOLUTE)
    list(APPEND abs_protos ${abs})
  endforeach()
  set(srcs "")
  foreach(abs IN LISTS abs_protos)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${abs})
    string(REGEX REPLACE "\\.proto$" "" stem ${rel})
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/${stem}.pb.cc ${PROJECT_BINARY_DIR}/${stem}.pb.h
      COMMAND protobuf::protoc --cpp_out=${PROJECT_BINARY_DIR} -I ${PROJECT_SOURCE_DIR} ${rel}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      DEPENDS ${abs_protos} protobuf::protoc
      COMMENT "Generating C++ from ${rel}"
      VERBATIM)
    list(APPEND srcs ${PROJECT_BINARY_DIR}/${stem}.pb.cc ${PROJECT_BINARY_DIR}/${stem}.pb.h)
  endforeach()
  add_library(qm_${name} STATIC ${srcs})
  target_link_libraries(qm_${name} PUBLIC protobuf::libprotobuf-lite ${ARG_DEPS})
endfunction()

# qm_flatbuffers_library(<name> SCHEMAS <files...> [FLATC_ARGS <args...>])
# Generates C++ from FlatBuffers schemas of the calling folder with Debian's flatc into the build
# tree (<folder>/foo.fbs -> #include "<folder>/foo_generated.h") and makes the interface library
# qm_<name> that depends on the generated headers. Schemas may include each other by base name.
function(qm_flatbuffers_library name)
  cmake_parse_arguments(ARG "" "" "SCHEMAS;FLATC_ARGS" ${ARGN})
  set(all_schemas "")
  foreach(schema IN LISTS ARG_SCHEMAS)
    list(APPEND all_schemas ${CMAKE_CURRENT_SOURCE_DIR}/${schema})
  endforeach()
  set(headers "")
  foreach(schema IN LISTS ARG_SCHEMAS)
    get_filename_component(base ${schema} NAME_WE)
    set(header ${CMAKE_CURRENT_BINARY_DIR}/${base}_generated.h)
    add_custom_command(
      OUTPUT ${header}
      COMMAND flatbuffers::flatc --cpp ${ARG_FLATC_ARGS} -I ${CMAKE_CURRENT_SOURCE_DIR}
              -o ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${schema}
      DEPENDS ${all_schemas} flatbuffers::flatc
      COMMENT "Generating the ${base} schema code"
      VERBATIM)
    list(APPEND headers ${header})
  endforeach()
  add_custom_target(qm_${name}_gen DEPENDS ${headers})
  add_library(qm_${name} INTERFACE)
  target_link_libraries(qm_${name} INTERFACE flatbuffers::flatbuffers)
  add_dependencies(qm_${name} qm_${name}_gen)
endfunction()
