# Undoes cmake --install: first kqsd's queues and classes leave CUPS (only
# what its LP tree made there; queues made by hand stay), then the tree, every
# file the install put in place (install_manifest.txt), the settings and the
# state. Run by the target uninstall:
#   cmake -DMANIFEST=... -DPREFIX=... -DDAEMONDIR=... -DSBINDIR=... -DDOCDIR=... -P uninstall.cmake
# Below a DESTDIR nothing outside it is touched: CUPS is left alone.
include("${CMAKE_CURRENT_LIST_DIR}/lproot.cmake")
set(dest "$ENV{DESTDIR}")
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "nothing to uninstall: ${MANIFEST} is missing (cmake --install from this build writes it)")
endif()
if(PREFIX STREQUAL "/usr")
  set(etc /etc/kqsd)
  set(state /var/lib/kqsd)
else()
  set(etc "${PREFIX}/etc/kqsd")
  set(state "${PREFIX}/var/lib/kqsd")
endif()

kqs_lp_root("${dest}${etc}/kqsd.ini" root)
if(NOT root STREQUAL "" AND IS_DIRECTORY "${dest}${root}/etc/lp/interfaces")
  if(dest STREQUAL "")
    execute_process(COMMAND "${PREFIX}/${SBINDIR}/lpsvc" remove "${root}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "kqsd is still installed: its LP tree ${root} could not leave CUPS (see above); "
                          "start CUPS and run the uninstall again")
    endif()
  else()
    file(REMOVE_RECURSE "${dest}${root}")
  endif()
endif()

file(STRINGS "${MANIFEST}" files)
foreach(f IN LISTS files)
  if(NOT dest STREQUAL "" AND NOT f MATCHES "^${dest}")
    set(f "${dest}${f}")
  endif()
  file(REMOVE "${f}")
endforeach()
file(REMOVE_RECURSE "${dest}${PREFIX}/${DAEMONDIR}" "${dest}${etc}" "${dest}${state}" "${dest}${PREFIX}/${DOCDIR}")
file(REMOVE "${MANIFEST}")
message(STATUS "kqsd is uninstalled: programs, manual pages, unit, settings (with the password) and state are gone. "
               "A service account kqsd made for it stays: userdel kqsd")
