# The Debian package zel-packet-monitor, built by CPack's DEB generator
# (`make deb`). Included from the top level when ZEL_DEB is on, after the
# programs and the sysusers file have their install rules. The install tree
# is the package's tree: units in /lib/systemd/system, two conffiles in /etc,
# compressed pages and changelog, copyright and docs under
# /usr/share/doc/zel-packet-monitor. The version is the project's.

set(ZEL_DEB_NAME zel-packet-monitor)
set(ZEL_DEB_MAINTAINER "zel_packet_monitor maintainers <zel-packet-monitor@example.net>"
    CACHE STRING "Maintainer field of the Debian package and its changelog")
set(zel_deb_src ${CMAKE_CURRENT_LIST_DIR})
set(zel_deb_out ${CMAKE_BINARY_DIR}/packaging/deb)
set(zel_deb_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZEL_DEB_NAME})

# string(TIMESTAMP) honours SOURCE_DATE_EPOCH, for a reproducible changelog.
string(TIMESTAMP ZEL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${zel_deb_src}/changelog.in ${zel_deb_out}/changelog @ONLY)

# Pages, changelog and long docs are compressed as Debian wants them: gzip
# -9 without a name or time stamp, so equal sources give equal files.
set(zel_deb_gz)
function(zel_deb_gzip src dst)
  add_custom_command(OUTPUT ${dst}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${src} ${dst}
    DEPENDS ${src} VERBATIM)
  set(zel_deb_gz ${zel_deb_gz} ${dst} PARENT_SCOPE)
endfunction()
zel_deb_gzip(${zel_deb_out}/changelog ${zel_deb_out}/changelog.gz)
foreach(page zel_replay.1 zel_tail.1 zel_packet_monitor.8 zel_packet_monitor_wss.8)
  zel_deb_gzip(${CMAKE_SOURCE_DIR}/docs/man/${page} ${zel_deb_out}/${page}.gz)
endforeach()
foreach(doc README.md docs/operations.md docs/event-record.md docs/event-stream.md)
  get_filename_component(name ${doc} NAME)
  zel_deb_gzip(${CMAKE_SOURCE_DIR}/${doc} ${zel_deb_out}/${name}.gz)
endforeach()
add_custom_target(zel_deb_files ALL DEPENDS ${zel_deb_gz})

# Strips the installed programs as dh_strip does: CPack's and install -s's
# stripping keep the compiler's .comment section.
install(CODE "
  foreach(prog ${CMAKE_INSTALL_SBINDIR}/zel_packet_monitor ${CMAKE_INSTALL_BINDIR}/zel_packet_monitor_wss
               ${CMAKE_INSTALL_BINDIR}/zel_replay ${CMAKE_INSTALL_BINDIR}/zel_tail)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${prog}\" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()")
foreach(unit ${ZEL_UNITS})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${unit}.service DESTINATION /lib/systemd/system)
endforeach()
install(FILES ${zel_deb_out}/zel_replay.1.gz ${zel_deb_out}/zel_tail.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${zel_deb_out}/zel_packet_monitor.8.gz ${zel_deb_out}/zel_packet_monitor_wss.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
# The annotated example is the configuration: placeholders only, no secret;
# a relay started on it exits 2 until the token file it names exists.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/zel-packet-monitor-wss.env.example
        DESTINATION /etc RENAME zel-packet-monitor-wss.env)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/default/zel-packet-monitor DESTINATION /etc/default)
install(FILES ${zel_deb_src}/copyright ${zel_deb_out}/changelog.gz
              ${zel_deb_out}/README.md.gz ${zel_deb_out}/operations.md.gz
              ${zel_deb_out}/event-record.md.gz ${zel_deb_out}/event-stream.md.gz
              ${CMAKE_SOURCE_DIR}/docs/event.schema.json
        DESTINATION ${zel_deb_docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZEL_DEB_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZEL_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SIP signalling monitor with a secure WebSocket relay")
set(CPACK_PACKAGE_DESCRIPTION [=[
zel_packet_monitor captures SIP signalling with libpcap and writes one
single-line JSON event per SIP message to the clients of a Unix stream
socket. zel_packet_monitor_wss forwards those events over TLS WebSocket,
pushing them to one upstream server or serving them to allow-listed
subscribers. zel_replay turns a capture file into the same events;
zel_tail follows a relay's event stream and resumes where it stopped.

Both services are installed disabled: write /etc/zel-packet-monitor-wss.env,
then enable them.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: the libraries the programs really link, found by dpkg-shlibdeps,
# and the tool the postinst creates the accounts with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd | systemd-sysusers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${zel_deb_src}/conffiles ${zel_deb_src}/postinst ${zel_deb_src}/prerm ${zel_deb_src}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
