# SPDX-License-Identifier: GPL-3.0-or-later
# The maker's service as a system service: its program, its systemd units (the server and
# the daily purge with its timer), the configuration file they read, and an example of nginx
# in front of it.
set(TACHORA_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Where the system's systemd units go")
set(TACHORA_SERVICE_CONFIG_DIR /etc/default CACHE PATH "Where the service's configuration goes")

install(TARGETS tachora-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
install(FILES service/tachora-service.service service/tachora-service-purge.service
    service/tachora-service-purge.timer
    DESTINATION ${TACHORA_SYSTEMD_UNIT_DIR} COMPONENT service)
install(FILES service/tachora-service.default DESTINATION ${TACHORA_SERVICE_CONFIG_DIR}
    RENAME tachora-service COMPONENT service)
install(FILES ${PROJECT_SOURCE_DIR}/tools/service/nginx-tachora-service.conf
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tachora-service/examples COMPONENT service)
