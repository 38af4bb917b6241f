# The platform layer of the system the build is for. The Linux half is src/platform/*.cpp; the
# Windows half lives in src/platform/win/, where each platFooWin.cpp takes the place of
# platFoo.cpp, and a file without a Windows namesake serves both.
function(probrix_platform_sources out)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/*.cpp)
  if(WIN32)
    file(GLOB win_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/win/*Win.cpp)
    foreach(win IN LISTS win_sources)
      get_filename_component(name ${win} NAME_WE)
      string(REGEX REPLACE "Win$" "" name ${name})
      list(REMOVE_ITEM sources ${PROJECT_SOURCE_DIR}/src/platform/${name}.cpp)
    endforeach()
    list(APPEND sources ${win_sources})
  endif()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

# What the Windows half needs from the system: Windows 7 and later (CancelIoEx,
# SetThreadStackGuarantee), the wide calls, Winsock 2, the shell's known folders and command
# line.
function(probrix_platform_setup target)
  if(WIN32)
    target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE
                               _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
    target_link_libraries(${target} PUBLIC ws2_32 shell32 ole32 uuid)
  endif()
endfunction()
