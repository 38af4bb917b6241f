# Debian's compiler and linker flags for the package build, as a Debian package is built:
# dpkg-buildflags with every hardening feature (stack protector, _FORTIFY_SOURCE, format
# checks, relro and immediate binding; PIE is the compiler's default). The dpkg of Debian 12
# leaves stack-clash and control-flow protection out of hardening=+all (later ones add them),
# so they are added here where the compiler takes them.
include(CheckCXXCompilerFlag)
find_program(PROBRIX_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT PROBRIX_DPKG_BUILDFLAGS)
  message(FATAL_ERROR "PROBRIX_DEBIAN_BUILDFLAGS needs dpkg-buildflags (package dpkg-dev)")
endif()

function(probrix_dpkg_buildflags name out)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${PROBRIX_DPKG_BUILDFLAGS} --get ${name}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
  set(${out} "${flags}" PARENT_SCOPE)
endfunction()

probrix_dpkg_buildflags(CPPFLAGS cppflags)
probrix_dpkg_buildflags(CFLAGS cflags)
probrix_dpkg_buildflags(CXXFLAGS cxxflags)
probrix_dpkg_buildflags(LDFLAGS ldflags)
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "PROBRIX_HAS${flag}" supported)
  if(NOT cxxflags MATCHES "(^| )${flag}( |$)")
    check_cxx_compiler_flag(${flag} ${supported})
    if(${supported})
      string(APPEND cflags " ${flag}")
      string(APPEND cxxflags " ${flag}")
    endif()
  endif()
endforeach()
string(APPEND CMAKE_C_FLAGS " ${cppflags} ${cflags}")
string(APPEND CMAKE_CXX_FLAGS " ${cppflags} ${cxxflags}")
foreach(kind EXE SHARED MODULE)
  string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${ldflags}")
endforeach()
message(STATUS "Debian build flags: ${cppflags} ${cxxflags} ${ldflags}")
