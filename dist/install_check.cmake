# Installs the build into a scratch DESTDIR under /usr and checks what a
# packager relies on: every piece in place, the unit naming the installed
# daemon, and a reinstall that keeps the administrator's kqsd.ini.
# Run by CTest: cmake -DBUILD_DIR=... -DFILES=a|b|... -DDAEMONDIR=... -DSYSTEMDDIR=... -P install_check.cmake
set(dest "${BUILD_DIR}/install-check")
file(REMOVE_RECURSE "${dest}")

function(install_once)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${dest} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
  endif()
endfunction()

install_once()
string(REPLACE "|" ";" files "${FILES}")
foreach(f IN LISTS files)
  if(NOT IS_ABSOLUTE "${f}")
    set(f "/usr/${f}")
  endif()
  if(NOT EXISTS "${dest}${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

file(READ "${dest}/usr/${SYSTEMDDIR}/kqsd.service" unit)
if(NOT unit MATCHES "\nExecStart=/usr/${DAEMONDIR}/kqsd\n" OR NOT unit MATCHES "\nType=forking\n")
  message(FATAL_ERROR "the unit does not start /usr/${DAEMONDIR}/kqsd as a forking service:\n${unit}")
endif()

set(ini "${dest}/usr/${DAEMONDIR}/kqsd.ini")
file(APPEND "${ini}" "[ACCESS]\nPasswd=zQkeepthis123\n")
install_once()
file(READ "${ini}" kept)
if(NOT kept MATCHES "zQkeepthis123")
  message(FATAL_ERROR "a reinstall overwrote kqsd.ini")
endif()
file(REMOVE_RECURSE "${dest}")
message(STATUS "install check passed")
