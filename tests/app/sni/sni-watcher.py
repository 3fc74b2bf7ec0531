#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# A stand-in for the tray of KDE Plasma or GNOME's AppIndicator extension: the
# org.kde.StatusNotifierWatcher that items register with, and a host registered with it, so
# that Qt finds a StatusNotifierItem tray on the session bus; and the desktop's notification
# daemon (org.freedesktop.Notifications), as such desktops have.
#
# Prints one line per event on standard output: "ready", then "registered SERVICE PATH",
# "unregistered SERVICE PATH", and, from the signals a host follows to stay up to date,
# "SIGNAL SERVICE" for the item's NewIcon, NewToolTip and NewStatus and its menu's
# LayoutUpdated and ItemsPropertiesUpdated, and "notify SUMMARY|BODY" for each notification
# shown. Reads one command a line on standard input and answers each
# with one line of JSON, {"error": TEXT} when the item did not answer:
#   item SERVICE         the item's properties; IconPixmap as [[width, height, base64]]
#   layout SERVICE       the entries of its menu: [{"id", "label", "type", "enabled"}]
#   click SERVICE ID     what a host sends when the user chooses that entry
# Runs until its standard input closes.

import base64
import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"
NOTIFICATIONS = "org.freedesktop.Notifications"
# Qt reads the watcher's properties through an interface built from this description, so it
# must list them: dbus-python's own description knows only methods and signals.
INTROSPECTION = """<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/>
   <arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg type="s" direction="out"/></method>
 </interface>
</node>
"""


def announce(*words):
    print(*words, flush=True)


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.bus = bus
        self.items = {}  # service -> path
        self.hosts = set()
        bus.add_signal_receiver(self.owner_changed, signal_name="NameOwnerChanged",
                                dbus_interface="org.freedesktop.DBus",
                                path="/org/freedesktop/DBus")

    def registered_items(self):
        return dbus.Array([s + p for s, p in self.items.items()], signature="s")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, name, sender):
        # Either a bus name, with the item at the usual path, or a path on the caller's
        # connection.
        service, path = (sender, name) if name.startswith("/") else (name, "/StatusNotifierItem")
        self.items[service] = path
        self.StatusNotifierItemRegistered(service + path)
        announce("registered", service, path)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        self.hosts.add(service)
        self.StatusNotifierHostRegistered()

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemUnregistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != WATCHER:
            raise dbus.exceptions.DBusException("no such interface: " + interface,
                                                name="org.freedesktop.DBus.Error.UnknownInterface")
        return {"RegisteredStatusNotifierItems": self.registered_items(),
                "IsStatusNotifierHostRegistered": dbus.Boolean(bool(self.hosts)),
                "ProtocolVersion": dbus.Int32(0)}

    @dbus.service.method("org.freedesktop.DBus.Introspectable", out_signature="s")
    def Introspect(self):
        return INTROSPECTION

    def owner_changed(self, name, old_owner, new_owner):
        if new_owner:
            return
        self.hosts.discard(name)
        # An item is gone when the name it registered with is; a unique name goes with its
        # connection.
        for service in [s for s in self.items if s == name]:
            path = self.items.pop(service)
            self.StatusNotifierItemUnregistered(service + path)
            announce("unregistered", service, path)


def plain(value):
    """A D-Bus value as JSON can hold it."""
    if isinstance(value, (dbus.Array, dbus.Struct, list, tuple)):
        if isinstance(value, dbus.Array) and value.signature == "y":
            return base64.b64encode(bytes(value)).decode()
        return [plain(v) for v in value]
    if isinstance(value, dbus.Dictionary):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath)):
        return str(value)
    if isinstance(value, (int, float)):
        return value
    return str(value)


class Host:
    """Reads and drives an item as a panel would: without blocking, since the item may be
    calling the watcher at the same moment."""

    def __init__(self, bus):
        self.bus = bus
        for interface, signals in ((ITEM, ("NewIcon", "NewToolTip", "NewStatus")),
                                   (MENU, ("LayoutUpdated", "ItemsPropertiesUpdated"))):
            for signal in signals:
                bus.add_signal_receiver(lambda *_, sender, signal=signal: announce(signal, sender),
                                        signal_name=signal, dbus_interface=interface,
                                        sender_keyword="sender")

    @staticmethod
    def reply(value):
        print(json.dumps(value), flush=True)

    @staticmethod
    def fail(error):
        print(json.dumps({"error": str(error)}), flush=True)

    def call(self, service, path, interface, method, *args, then):
        proxy = self.bus.get_object(service, path, introspect=False)
        getattr(dbus.Interface(proxy, interface), method)(
            *args, timeout=10, reply_handler=then, error_handler=self.fail)

    def with_menu(self, service, then):
        self.call(service, "/StatusNotifierItem", PROPERTIES, "Get", ITEM, "Menu",
                  then=lambda path: then(path))

    def serve(self, line):
        words = line.split()
        try:
            command, service = words[0], words[1]
            if command == "item":
                self.call(service, "/StatusNotifierItem", PROPERTIES, "GetAll", ITEM,
                          then=lambda properties: self.reply(plain(properties)))
            elif command == "layout":
                self.with_menu(service, lambda path: self.call(
                    service, path, MENU, "GetLayout", 0, -1, dbus.Array([], signature="s"),
                    then=lambda _, layout: self.reply([
                        {"id": int(child[0]), "label": str(child[1].get("label", "")),
                         "type": str(child[1].get("type", "standard")),
                         "enabled": bool(child[1].get("enabled", True))}
                        for child in layout[2]])))
            elif command == "click":
                self.with_menu(service, lambda path: self.call(
                    service, path, MENU, "Event", dbus.Int32(int(words[2])), "clicked",
                    dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                    then=lambda *_: self.reply(True)))
            else:
                self.fail("unknown command: " + command)
        except (dbus.exceptions.DBusException, ValueError, IndexError) as error:
            self.fail(error)


class Notifications(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.last = 0

    @dbus.service.method(NOTIFICATIONS, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        announce("notify", summary + "|" + body)
        self.last += 1
        return self.last

    @dbus.service.method(NOTIFICATIONS, out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(NOTIFICATIONS, out_signature="ssss")
    def GetServerInformation(self):
        return ["stand-in", "tachora", "1", "1.2"]

    @dbus.service.method(NOTIFICATIONS, in_signature="u")
    def CloseNotification(self, id):
        pass


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    names = [dbus.service.BusName(WATCHER, bus, do_not_queue=True)]
    host_name = "org.kde.StatusNotifierHost-%d" % os.getpid()
    names.append(dbus.service.BusName(host_name, bus, do_not_queue=True))
    watcher.RegisterStatusNotifierHost(host_name)

    notifications = Notifications(bus)
    names.append(dbus.service.BusName(NOTIFICATIONS, bus, do_not_queue=True))
    host = Host(bus)
    loop = GLib.MainLoop()

    def read_command(stream, _):
        line = stream.readline()
        if not line:
            loop.quit()
            return False
        host.serve(line)
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, read_command)
    announce("ready")
    loop.run()
    del names


if __name__ == "__main__":
    main()
