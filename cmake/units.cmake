# SPDX-License-Identifier: MIT
# Installs the systemd units. Both services are made from one template when they are
# installed, so that ExecStart= names the binary where this very installation puts it
# (/usr/bin in the Debian package, /usr/local/bin by default). They go where systemd looks:
# /lib/systemd/system for an installation in /usr, else below the prefix.
# Set by the install(CODE) before this script: sever_source, sever_bindir, sever_staging.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(unitdir /lib/systemd/system)
else()
  set(unitdir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
file(READ ${sever_source}/contrib/sever.service.in template)

function(unit name header description order network install)
  set(text "${template}")
  string(REPLACE "@HEADER@" "${header}" text "${text}")
  string(REPLACE "@DESCRIPTION@" "${description}" text "${text}")
  string(REPLACE "@ORDER@" "${order}" text "${text}")
  string(REPLACE "@NETWORK@" "${network}" text "${text}")
  string(REPLACE "@INSTALL@" "${install}" text "${text}")
  string(REPLACE "@BINDIR@" "${CMAKE_INSTALL_PREFIX}/${sever_bindir}" text "${text}")
  file(WRITE ${sever_staging}/${name} "${text}")
  file(INSTALL ${sever_staging}/${name} DESTINATION ${unitdir} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

unit(sever.service
  "# sever as a system service: serves /var/www/html on port 8080 of every IPv4 address as an\n# unprivileged dynamic user. Enable this or sever.socket, not both:\n#   systemctl enable --now sever.service"
  "sever static-file web server on port 8080"
  "After=network.target"
  "RestrictAddressFamilies=AF_INET AF_UNIX"
  "\n[Install]\nWantedBy=multi-user.target\n")
unit(sever-activated.service
  "# sever started by sever.socket at the first connection: it serves /var/www/html on the\n# socket it is handed, with no network of its own. Enable sever.socket, not this unit."
  "sever static-file web server on the socket of sever.socket"
  "Requires=sever.socket\nAfter=sever.socket"
  "PrivateNetwork=yes\nRestrictAddressFamilies=AF_UNIX"
  "")
file(INSTALL ${sever_source}/contrib/sever.socket DESTINATION ${unitdir}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
