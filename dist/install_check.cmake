# Installs the build into a scratch DESTDIR under /usr and checks what a
# packager and an administrator rely on: every piece in place, programs
# with their symbols (stripped only with --strip, so a package can keep
# debug symbols apart), the settings in /etc/kqsd (root:kqsd 0640) reached through the
# daemon's link, the unit naming the installed daemon (and, where systemd is
# installed, verified and sandboxed), manual pages that render without
# warnings, a reinstall that keeps the administrator's kqsd.ini and reaches
# an LP tree with queues, and an uninstall that leaves nothing behind.
# Run by CTest: cmake -DBUILD_DIR=... -DFILES=a|b|... -DPROGRAMS=a|b|...
#   -DDAEMONDIR=... -DSYSTEMDDIR=... -DMANDIR=... -DSBINDIR=... -DDOCDIR=... -P install_check.cmake
set(dest "${BUILD_DIR}/install-check")
file(REMOVE_RECURSE "${dest}")

function(install_once)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${dest} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
  endif()
endfunction()

# Runs a command that must succeed and say nothing on stderr.
function(run_clean what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "${what} (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

install_once()
string(REPLACE "|" ";" files "${FILES}")
foreach(f IN LISTS files)
  if(NOT IS_ABSOLUTE "${f}")
    set(f "/usr/${f}")
  endif()
  if(NOT EXISTS "${dest}${f}" AND NOT IS_SYMLINK "${dest}${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# Every program has its symbol table, or none after an install with --strip.
function(check_symbols want)
  string(REPLACE "|" ";" programs "${PROGRAMS}")
  foreach(f IN LISTS programs)
    if(NOT IS_ABSOLUTE "${f}")
      set(f "/usr/${f}")
    endif()
    run_clean("readelf ${f}" readelf -S -W "${dest}${f}")
    if(want AND NOT out MATCHES "\\.symtab")
      message(FATAL_ERROR "stripped without --strip: ${f}")
    elseif(NOT want AND out MATCHES "\\.symtab|\\.debug_")
      message(FATAL_ERROR "not stripped by --strip: ${f}")
    endif()
  endforeach()
endfunction()
check_symbols(TRUE)

foreach(link "kqsd.ini:/etc/kqsd/kqsd.ini" "rerar.ini:/var/lib/kqsd/rerar.ini" "tls:/var/lib/kqsd/tls")
  string(REPLACE ":" ";" parts "${link}")
  list(GET parts 0 name)
  list(GET parts 1 target)
  file(READ_SYMLINK "${dest}/usr/${DAEMONDIR}/${name}" points)
  if(NOT points STREQUAL target OR NOT EXISTS "${dest}${target}")
    message(FATAL_ERROR "/usr/${DAEMONDIR}/${name} must link to an installed ${target}, links to '${points}'")
  endif()
endforeach()
run_clean("stat" stat -c "%a %U:%G" "${dest}/etc/kqsd/kqsd.ini")
if(NOT out STREQUAL "640 root:kqsd\n")
  message(FATAL_ERROR "/etc/kqsd/kqsd.ini must be root:kqsd 0640, is ${out}")
endif()

set(unit "${dest}/usr/${SYSTEMDDIR}/kqsd.service")
file(READ "${unit}" text)
if(NOT text MATCHES "\nExecStart=/usr/${DAEMONDIR}/kqsd -f\n" OR NOT text MATCHES "\nType=notify\n" OR
   NOT text MATCHES "\nReadWritePaths=-/var/lib/kqsd\n" OR NOT text MATCHES "\nRuntimeDirectory=kqsd\n")
  message(FATAL_ERROR "the unit does not run /usr/${DAEMONDIR}/kqsd -f as a notify service "
                      "that may write /var/lib/kqsd and /run/kqsd alone:\n${text}")
endif()
find_program(ANALYZE systemd-analyze)
if(ANALYZE)
  # Verified with ExecStart naming the daemon inside DESTDIR, where it is.
  file(MAKE_DIRECTORY "${dest}/verify")
  string(REPLACE "ExecStart=/usr/" "ExecStart=${dest}/usr/" text "${text}")
  file(WRITE "${dest}/verify/kqsd.service" "${text}")
  run_clean("systemd-analyze verify" ${ANALYZE} verify --man=no "${dest}/verify/kqsd.service")
  execute_process(COMMAND ${ANALYZE} security --offline=true --threshold=50 "${unit}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX MATCH "Overall exposure level for kqsd.service: [0-9.]+" exposure "${out}")
  if(NOT rc EQUAL 0 OR exposure STREQUAL "")
    message(FATAL_ERROR "systemd-analyze security: exposure above 5.0 (${rc}):\n${out}\n${err}")
  endif()
  message(STATUS "${exposure}")
else()
  message(STATUS "systemd-analyze not found: the unit was not verified")
endif()

find_program(MAN man)
if(NOT MAN)
  message(FATAL_ERROR "man is missing (apt-get install man-db groff-base): the manual pages cannot be checked")
endif()
foreach(page man1/kqsctl.1 man8/kqsd.8 man8/lpsvc.8)
  run_clean("man --warnings -l ${page}" ${CMAKE_COMMAND} -E env MANWIDTH=80 ${MAN} --warnings -l "${dest}/usr/${MANDIR}/${page}")
endforeach()

# An LP tree made by the installed lpsvc, with a queue in it; then an older
# lpsvc in the install's place (a script that breaks every command), and a
# reinstall: the tree's commands must be the new program again, the queue kept.
set(tree "${dest}/var/lib/kqsd/lp")
set(lpsvc "${dest}/usr/${SBINDIR}/lpsvc")
run_clean("lpsvc setup" "${lpsvc}" setup "${tree}")
run_clean("lpadmin -p" "${tree}/usr/lib/lpadmin" -pkept -v/dev/null "-i${tree}/usr/lib/lp/model/standard")
file(WRITE "${lpsvc}" "#!/bin/sh\nexit 9\n")
set(ini "${dest}/etc/kqsd/kqsd.ini")
file(APPEND "${ini}" "[ACCESS]\nPasswd=zQkeepthis123\n")
install_once(--strip)
check_symbols(FALSE)
file(READ "${ini}" kept)
if(NOT kept MATCHES "zQkeepthis123")
  message(FATAL_ERROR "a reinstall overwrote kqsd.ini")
endif()
# (Links only where every account can reach the install; a build in a
# private home, such as /root, gets hard links or copies, which only lpsvc
# upgrade renews.)
execute_process(COMMAND setpriv --reuid=nobody --regid=nogroup --clear-groups test -x "${lpsvc}"
                RESULT_VARIABLE private)
if(NOT private EQUAL 0)
  run_clean("lpsvc upgrade of a private install" "${lpsvc}" upgrade "${tree}")
endif()
run_clean("the tree's lpadmin after the reinstall" "${tree}/usr/lib/lpadmin" -pnew -v/dev/null
          "-i${tree}/usr/lib/lp/model/standard")
run_clean("lpsvc upgrade" "${lpsvc}" upgrade "${tree}")
if(NOT IS_DIRECTORY "${tree}/etc/lp/printers/kept" OR NOT IS_DIRECTORY "${tree}/etc/lp/printers/new")
  message(FATAL_ERROR "a queue went with the upgrade")
endif()
file(REAL_PATH "${tree}/usr/lib/lp/lpdeliver" deliver)
file(REAL_PATH "${dest}/usr/${DAEMONDIR}/lpdeliver" installed_deliver)
file(REAL_PATH "${tree}/usr/lib/lpadmin" lpadmin)
file(REAL_PATH "${lpsvc}" installed_lpsvc)
if(private EQUAL 0 AND (NOT deliver STREQUAL installed_deliver OR NOT lpadmin STREQUAL installed_lpsvc))
  message(FATAL_ERROR "the tree runs ${lpadmin} and ${deliver}, not the installed programs")
endif()

file(REMOVE_RECURSE "${dest}/verify")
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${dest} ${CMAKE_COMMAND} -DMANIFEST=${BUILD_DIR}/install_manifest.txt
                        -DPREFIX=/usr -DDAEMONDIR=${DAEMONDIR} -DSBINDIR=${SBINDIR} -DDOCDIR=${DOCDIR}
                        -P ${CMAKE_CURRENT_LIST_DIR}/uninstall.cmake
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB_RECURSE left LIST_DIRECTORIES false "${dest}/*")
if(NOT rc EQUAL 0 OR left)
  message(FATAL_ERROR "the uninstall (${rc}) left: ${left}\n${out}\n${err}")
endif()
file(REMOVE_RECURSE "${dest}")
message(STATUS "install check passed")
