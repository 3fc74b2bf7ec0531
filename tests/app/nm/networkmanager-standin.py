# SPDX-License-Identifier: GPL-3.0-or-later
"""A stand-in for NetworkManager on the system bus: one active connection on one ethernet
device, whose metered state (NMMetered: 0 unknown, 1 yes, 2 no, 3 guessed yes, 4 guessed no)
is its first argument, given on the manager and on the device as NetworkManager gives it. It
prints "ready" once it owns NetworkManager's name."""
import sys

from gi.repository import Gio, GLib

METERED = int(sys.argv[1])
ROOT = "/org/freedesktop/NetworkManager"
CONNECTION = ROOT + "/ActiveConnection/1"
DEVICE = ROOT + "/Devices/1"
NODE = Gio.DBusNodeInfo.new_for_xml("""<node>
  <interface name="org.freedesktop.NetworkManager">
    <property name="State" type="u" access="read"/>
    <property name="Connectivity" type="u" access="read"/>
    <property name="PrimaryConnection" type="o" access="read"/>
    <property name="Metered" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.NetworkManager.Connection.Active">
    <property name="Devices" type="ao" access="read"/>
  </interface>
  <interface name="org.freedesktop.NetworkManager.Device">
    <property name="DeviceType" type="u" access="read"/>
    <property name="Metered" type="u" access="read"/>
  </interface>
</node>""")
# Connected with full connectivity (NM_STATE_CONNECTED_GLOBAL, NM_CONNECTIVITY_FULL), on
# ethernet (NM_DEVICE_TYPE_ETHERNET).
PROPERTIES = {
    "State": GLib.Variant("u", 70),
    "Connectivity": GLib.Variant("u", 4),
    "PrimaryConnection": GLib.Variant("o", CONNECTION),
    "Metered": GLib.Variant("u", METERED),
    "Devices": GLib.Variant("ao", [DEVICE]),
    "DeviceType": GLib.Variant("u", 1),
}


def get_property(connection, sender, path, interface, name):
    return PROPERTIES[name]


def bus_acquired(connection, name):
    for path, interface in zip((ROOT, CONNECTION, DEVICE), NODE.interfaces):
        connection.register_object(path, interface, None, get_property, None)


def name_acquired(connection, name):
    print("ready", flush=True)


Gio.bus_own_name(Gio.BusType.SYSTEM, "org.freedesktop.NetworkManager",
                 Gio.BusNameOwnerFlags.NONE, bus_acquired, name_acquired, None)
GLib.MainLoop().run()
