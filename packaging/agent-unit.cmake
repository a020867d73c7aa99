# Run at install time: the agent's systemd user unit, made from tools/shardex-agent.service
# (the unit of an install from the source, whose settings it keeps) with ExecStart naming
# the installed agent and a head that says how to enable it.
#   SHARDEX_UNIT_TEMPLATE  tools/shardex-agent.service
#   SHARDEX_UNIT_WORK      a folder of the build for the unit made
#   SHARDEX_BINDIR         bin/, relative to the install prefix
file(READ "${SHARDEX_UNIT_TEMPLATE}" unit)
string(FIND "${unit}" "\n[Unit]" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${SHARDEX_UNIT_TEMPLATE} has no [Unit] section")
endif()
math(EXPR at "${at} + 1")
string(SUBSTRING "${unit}" ${at} -1 body)
set(agent "${CMAKE_INSTALL_PREFIX}/${SHARDEX_BINDIR}/shardex-agent")
string(REGEX REPLACE "(^|\n)ExecStart=[^ \n]*/shardex-agent" "\\1ExecStart=${agent}" body "${body}")
string(FIND "${body}" "ExecStart=${agent}" found)
if(found EQUAL -1)
  message(FATAL_ERROR "${SHARDEX_UNIT_TEMPLATE}: no ExecStart line that starts shardex-agent")
endif()
file(WRITE "${SHARDEX_UNIT_WORK}/shardex-agent.service"
"# shardex-agent as a systemd user service: the client computer's agent, started at log-in
# (or at boot with lingering enabled) and started again if it fails. It needs no display: it
# prints the applications' progress to the journal (journalctl --user -u shardex-agent).
#
# Once the network's certificates are in ~/.config/shardex/network (shardex-agent --init, or
# a copy from the computer that made them) and ~/Shardex exists:
#   systemctl --user enable --now shardex-agent
#   loginctl enable-linger        # keep it running without a log-in
#
# Other options for the agent (--listen, --name, ...): systemctl --user edit shardex-agent,
# then a [Service] section with an empty ExecStart= line and one of your own.

${body}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE
     FILES "${SHARDEX_UNIT_WORK}/shardex-agent.service")
