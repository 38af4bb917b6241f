# GoogleTest and GoogleMock as GTest::gtest, GTest::gmock and GTest::gtest_main: the installed
# package of the host; in a cross build (Windows), built from Debian's sources
# (/usr/src/googletest of libgtest-dev and libgmock-dev) with the cross compiler, since the
# installed libraries are for the host.
if(CMAKE_CROSSCOMPILING)
  set(PROBRIX_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for a cross build")
  if(NOT EXISTS ${PROBRIX_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${PROBRIX_GOOGLETEST_SOURCE} (Debian: libgtest-dev libgmock-dev)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  # SYSTEM: its headers give our warnings no work; EXCLUDE_FROM_ALL: only what the tests link.
  add_subdirectory(${PROBRIX_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest
                   EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
