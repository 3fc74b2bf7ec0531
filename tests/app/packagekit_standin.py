# SPDX-License-Identifier: GPL-3.0-or-later
"""A stand-in for PackageKit on the session bus: it writes every call it gets to the file named
by its first argument, then ends each transaction as its second argument says ("success" or
"failure"). It prints "ready" once it owns PackageKit's name."""
import sys

from gi.repository import Gio, GLib

RECORD, OUTCOME = sys.argv[1], sys.argv[2]
NODE = Gio.DBusNodeInfo.new_for_xml("""<node>
  <interface name="org.freedesktop.PackageKit">
    <method name="CreateTransaction"><arg type="o" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.PackageKit.Transaction">
    <method name="SetHints"><arg type="as" direction="in"/></method>
    <method name="InstallFiles">
      <arg type="t" direction="in"/><arg type="as" direction="in"/>
    </method>
    <signal name="ErrorCode"><arg type="u"/><arg type="s"/></signal>
    <signal name="Finished"><arg type="u"/><arg type="u"/></signal>
  </interface>
</node>""")
transactions = 0


def record(line):
    with open(RECORD, "a", encoding="utf-8") as out:
        out.write(line + "\n")


def called(connection, sender, path, interface, method, parameters, invocation):
    global transactions
    if method == "CreateTransaction":
        transactions += 1
        transaction = "/%d" % transactions
        connection.register_object(transaction, NODE.interfaces[1], called, None, None)
        record("CreateTransaction")
        invocation.return_value(GLib.Variant("(o)", (transaction,)))
    elif method == "SetHints":
        record("SetHints " + ",".join(parameters.unpack()[0]))
        invocation.return_value(None)
    elif method == "InstallFiles":
        flags, files = parameters.unpack()
        record("InstallFiles %d %s" % (flags, " ".join(files)))
        invocation.return_value(None)
        if OUTCOME == "failure":
            connection.emit_signal(None, path, interface, "ErrorCode",
                                   GLib.Variant("(us)", (7, "Paquet en conflit")))
        connection.emit_signal(None, path, interface, "Finished",
                               GLib.Variant("(uu)", (1 if OUTCOME == "success" else 2, 10)))


def bus_acquired(connection, name):
    connection.register_object("/org/freedesktop/PackageKit", NODE.interfaces[0], called,
                               None, None)


def name_acquired(connection, name):
    print("ready", flush=True)


Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.PackageKit",
                 Gio.BusNameOwnerFlags.NONE, bus_acquired, name_acquired, None)
GLib.MainLoop().run()
