# Helpers that keep one static library per folder and one test binary per folder.

# pw_library(<name> [UI] DEPS <targets...>)
# Builds a static library from every .cpp in the calling folder (UI: only files named *_ui.cpp or
# under ui/ go in; the rest go in the plain library). A folder without sources yields an interface
# library so that dependants link whatever exists.
function(pw_library name)
  cmake_parse_arguments(A "" "" "DEPS;SOURCES" ${ARGN})
  if(A_SOURCES)
    set(srcs ${A_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(${name} INTERFACE ${A_DEPS})
  endif()
endfunction()

# Headers compiled once per group of targets (the first target of a group compiles them, the
# others reuse them; a group shares its compiler options): Qt's widgets for the Qt libraries,
# GoogleTest (and Qt) for the test binaries.
set(PW_QT_HEADERS <QApplication> <QDialog> <QKeyEvent> <QLabel> <QLineEdit> <QListWidget> <QObject>
                  <QPlainTextEdit> <QPushButton> <QString> <QTimer> <QWidget>)
set(PW_GTEST_HEADERS <gtest/gtest.h> <gmock/gmock.h>)
function(pw_precompile target group)
  get_property(first GLOBAL PROPERTY PW_PCH_${group})
  if(first)
    target_precompile_headers(${target} REUSE_FROM ${first})
  else()
    set_property(GLOBAL PROPERTY PW_PCH_${group} ${target})
    target_precompile_headers(${target} PRIVATE ${ARGN})
  endif()
endfunction()

# pw_test_target(<target> [QT] [QTEST] [OBJECTS] SOURCES <files...> LIBS <targets...>)
# A GoogleTest binary (OBJECTS: an object library that binaries share) from <files>, or, with
# PW_TEST_BINARIES off, an object library that only compiles them for their warnings.
function(pw_test_target bin)
  cmake_parse_arguments(A "QT;QTEST;OBJECTS" "" "SOURCES;LIBS" ${ARGN})
  if(A_OBJECTS OR NOT PW_TEST_BINARIES)
    add_library(${bin} OBJECT ${A_SOURCES})
  else()
    # The sanitizer settings are compiled into each binary: from an archive the linker would not
    # take them, as the runtimes only look for them.
    add_executable(${bin} ${A_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/SanitizerOptions.cpp)
  endif()
  if(A_QT)
    set(main pw_testmain_qt)
  else()
    set(main pw_testmain)
  endif()
  target_link_libraries(${bin} PRIVATE ${A_LIBS} platform_testing ${main} pw_testsupport GTest::gmock GTest::gtest)
  if(A_QTEST)
    # Only Qt Test's headers and library: its compile definitions name this tree's folders (for
    # QFINDTESTDATA, unused here), which would make every compile differ from clone to clone.
    find_package(Qt6 REQUIRED COMPONENTS Test)
    target_link_libraries(${bin} PRIVATE $<LINK_ONLY:Qt6::Test>)
    target_include_directories(${bin} SYSTEM PRIVATE $<TARGET_PROPERTY:Qt6::Test,INTERFACE_INCLUDE_DIRECTORIES>)
    target_compile_definitions(${bin} PRIVATE QT_TESTLIB_LIB)
  endif()
  # Only the sources that name the tree's folders (as found when CMake runs) get them: the others
  # then compile the same in every clone, and the compiler cache serves them.
  foreach(s ${A_SOURCES})
    file(STRINGS ${s} uses REGEX "PW_(SOURCE|BINARY)_DIR" LIMIT_COUNT 1)
    if(uses)
      set_property(SOURCE ${s} APPEND PROPERTY COMPILE_DEFINITIONS PW_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                                                   PW_BINARY_DIR="${PROJECT_BINARY_DIR}")
    endif()
  endforeach()
  if(NOT PW_TEST_BINARIES)
    # Compiled for the diagnostics only: a fifth of the time of an optimised compile.
    set_target_properties(${bin} PROPERTIES CXX_COMPILER_LAUNCHER "sh;${PROJECT_SOURCE_DIR}/cmake/syntax-check.sh")
    target_compile_options(${bin} PRIVATE -g0)
    set(group check)
  elseif(PW_SANITIZE)
    # The tests' own code runs little: under the sanitizers it compiled four times as long at -O2
    # as unoptimised. The code under test keeps its optimisation.
    target_compile_options(${bin} PRIVATE $<$<CONFIG:RelWithDebInfo>:-O0>)
    set(group run)
  endif()
  if(A_QT)
    pw_precompile(${bin} qt_tests${group} ${PW_GTEST_HEADERS} ${PW_QT_HEADERS})
  else()
    pw_precompile(${bin} tests${group} ${PW_GTEST_HEADERS})
  endif()
endfunction()

# pw_test_folder(<label> [QT] [QTEST] LIBS <targets...>)
# One GoogleTest binary, <label>_tests, from every *.cpp of the calling folder; each test case
# becomes a CTest test labelled <label>, run headless. QT: main() creates a QApplication first.
# QTEST: Qt Test's event simulation is used too.
function(pw_test_folder label)
  cmake_parse_arguments(A "QT;QTEST" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  set(bin ${label}_tests)
  set(flags)
  foreach(f QT QTEST)
    if(A_${f})
      list(APPEND flags ${f})
    endif()
  endforeach()
  pw_test_target(${bin} ${flags} SOURCES ${srcs} LIBS ${A_LIBS})
  pw_discover_tests(${bin} LABEL ${label})
endfunction()

# pw_discover_tests(<binary> LABEL <label> [PREFIX <prefix>] [ENVIRONMENT <var=value>...])
# Registers each test case of a test binary as a CTest test (nothing without PW_TEST_BINARIES).
function(pw_discover_tests bin)
  cmake_parse_arguments(A "" "LABEL;PREFIX" "ENVIRONMENT" ${ARGN})
  if(NOT PW_TEST_BINARIES)
    return()
  endif()
  set(env QT_QPA_PLATFORM=offscreen ${A_ENVIRONMENT})
  gtest_discover_tests(${bin}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    TEST_PREFIX "${A_PREFIX}"
    PROPERTIES LABELS ${A_LABEL}
               TIMEOUT 300
               ENVIRONMENT "${env}")
endfunction()

# pw_string_tables(<library> FUNCTION <c-name> TABLES <file.str>...)
# Compiles string-table texts into "STR0" resources inside <library>. The generated <c-name>()
# registers every table under its file's base name; the library calls it before loading a table.
function(pw_string_tables lib)
  cmake_parse_arguments(A "" "FUNCTION" "TABLES" ${ARGN})
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/generated)
  set(out ${PROJECT_BINARY_DIR}/generated/${lib}_strings.cpp)
  set(abs)
  foreach(t ${A_TABLES})
    get_filename_component(p ${t} ABSOLUTE)
    list(APPEND abs ${p})
  endforeach()
  add_custom_command(OUTPUT ${out}
    COMMAND pw_strc ${A_FUNCTION} ${out} ${abs}
    DEPENDS pw_strc ${abs}
    COMMENT "Compiling string tables of ${lib}")
  target_sources(${lib} PRIVATE ${out})
endfunction()
