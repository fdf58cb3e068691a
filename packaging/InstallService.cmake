# The systemd units, the environment file, the certificate directory and the
# member scripts' paths, for the prefix this installation has (cpack: /usr,
# so the configuration is in /etc). SAFEROOM_PACKAGING_DIR, SAFEROOM_STAGE,
# SAFEROOM_SBINDIR_REL and SAFEROOM_DATADIR_REL come from the install rules.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(SAFEROOM_CONFDIR /etc/saferoom)
else()
  set(SAFEROOM_CONFDIR ${CMAKE_INSTALL_PREFIX}/etc/saferoom)
endif()
set(SAFEROOM_SBINDIR ${CMAKE_INSTALL_PREFIX}/${SAFEROOM_SBINDIR_REL})
configure_file(${SAFEROOM_PACKAGING_DIR}/saferoom.service.in ${SAFEROOM_STAGE}/saferoom.service @ONLY)
# A socket unit cannot read an environment file: it gets the packaged port.
file(STRINGS ${SAFEROOM_PACKAGING_DIR}/saferoom.env SAFEROOM_PORT REGEX "^PORT=")
string(REPLACE "PORT=" "" SAFEROOM_PORT "${SAFEROOM_PORT}")
configure_file(${SAFEROOM_PACKAGING_DIR}/saferoom.socket.in ${SAFEROOM_STAGE}/saferoom.socket @ONLY)

file(INSTALL DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system TYPE FILE
     FILES ${SAFEROOM_STAGE}/saferoom.service ${SAFEROOM_STAGE}/saferoom.socket)
# certbot's deploy hook, named on certbot's command line (not put among
# certbot's own hooks, which would run it for every certificate it renews).
set(SAFEROOM_HOOK ${CMAKE_INSTALL_PREFIX}/lib/saferoom/certbot-deploy-hook)
configure_file(${SAFEROOM_PACKAGING_DIR}/certbot-deploy-hook.in ${SAFEROOM_STAGE}/certbot-deploy-hook @ONLY)
file(INSTALL DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/saferoom TYPE PROGRAM
     FILES ${SAFEROOM_STAGE}/certbot-deploy-hook)
# An operator's settings are kept (the package's conffile does the same).
if(NOT EXISTS $ENV{DESTDIR}${SAFEROOM_CONFDIR}/saferoom.env)
  file(INSTALL DESTINATION ${SAFEROOM_CONFDIR} TYPE FILE FILES ${SAFEROOM_PACKAGING_DIR}/saferoom.env)
endif()
# Its group and mode come from the package's postinst.
file(MAKE_DIRECTORY $ENV{DESTDIR}${SAFEROOM_CONFDIR}/certs)
# Where the member scripts find the certificates and the state, as installed.
file(WRITE ${SAFEROOM_STAGE}/paths.sh
     "# Written at install: the paths the saferoom-* member scripts use.\n"
     "confdir=${SAFEROOM_CONFDIR}\nstatedir=/var/lib/saferoom\n")
file(INSTALL DESTINATION ${CMAKE_INSTALL_PREFIX}/${SAFEROOM_DATADIR_REL}/saferoom TYPE FILE
     FILES ${SAFEROOM_STAGE}/paths.sh)
