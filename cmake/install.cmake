# What `cmake --install` puts where. Paths follow GNUInstallDirs, so a packager's prefix and
# directory variables apply; the polkit policy is the exception (see below).
include(GNUInstallDirs)

# The application starts the helper and people run its one-shot modes by hand too: a user
# command, so bin/ rather than libexec/ (which is for programs only other programs start).
install(TARGETS quorvane-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The key service is started by the system bus only.
install(TARGETS quorvane-keyd RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR})

# polkitd reads actions from /usr/share/polkit-1/actions only, whatever prefix the helper was
# installed under: a policy under /usr/local/share would never be seen and presence would quietly
# stay unavailable. So the default is that absolute directory (DESTDIR still applies); a packager
# or a polkit built elsewhere can point it somewhere else.
set(QUORVANE_POLKIT_ACTIONS_DIR "/usr/share/polkit-1/actions"
    CACHE PATH "Directory polkitd reads action files from; the policy is installed there")
install(FILES ${CMAKE_SOURCE_DIR}/data/com.quorvane.helper.policy
        DESTINATION ${QUORVANE_POLKIT_ACTIONS_DIR})

install(FILES ${CMAKE_SOURCE_DIR}/docs/quorvane-helper.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/docs/quorvane-keyd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# The manual page points here for the full protocol and the other documents.
set(QUORVANE_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvane-helper"
    CACHE PATH "Directory the documentation is installed to")
file(GLOB QUORVANE_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${QUORVANE_DOCS} DESTINATION ${QUORVANE_DOC_DIR})

# The key service's bus files and unit. Like polkitd, the system bus and systemd read these from
# fixed directories only; the program they start follows the prefix, so the activation file and
# the unit are written at install time, when the prefix is known (`cmake --install --prefix`).
set(QUORVANE_DBUS_SYSTEM_DIR "/usr/share/dbus-1"
    CACHE PATH "Directory the system bus reads its service and policy files from")
set(QUORVANE_SYSTEMD_UNIT_DIR "/lib/systemd/system"
    CACHE PATH "Directory systemd reads system units from")
install(FILES ${CMAKE_SOURCE_DIR}/data/keyd/com.quorvane.KeyService1.conf
        DESTINATION ${QUORVANE_DBUS_SYSTEM_DIR}/system.d)
install(CODE "
    set(QUORVANE_KEYD_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/quorvane-keyd\")
    foreach(pair \"com.quorvane.KeyService1.service|${QUORVANE_DBUS_SYSTEM_DIR}/system-services\"
                 \"quorvane-keyd.service|${QUORVANE_SYSTEMD_UNIT_DIR}\")
        string(REPLACE \"|\" \";\" pair \"\${pair}\")
        list(GET pair 0 name)
        list(GET pair 1 directory)
        message(STATUS \"Installing: \$ENV{DESTDIR}\${directory}/\${name}\")
        configure_file(${CMAKE_SOURCE_DIR}/data/keyd/\${name}.in \"\$ENV{DESTDIR}\${directory}/\${name}\" @ONLY)
    endforeach()
")
