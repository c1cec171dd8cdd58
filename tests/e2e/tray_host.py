#!/usr/bin/python3
"""A notification area for a Wayland session without one: the StatusNotifierItem watcher and host a
desktop's panel provides (KDE's protocol, which Qt uses on Wayland), on the session bus. Each item that
registers is written as a line (its bus name) to the file given; the test clicks it with
`gdbus call ... org.kde.StatusNotifierItem.Activate 0 0`.
  tray_host.py ITEMS_FILE"""
import sys

from gi.repository import Gio, GLib

XML = """<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
</interface></node>"""
items = []


def call(connection, sender, path, interface, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        service = parameters.unpack()[0]
        # An item may give its object path instead of a name: then it is the caller's.
        item = service if not service.startswith("/") else sender
        items.append(item)
        with open(sys.argv[1], "a") as out:
            out.write(item + "\n")
        connection.emit_signal(None, path, interface, "StatusNotifierItemRegistered", GLib.Variant("(s)", (item,)))
    invocation.return_value(None)


def get(connection, sender, path, interface, name):
    return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
            "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
            "ProtocolVersion": GLib.Variant("i", 0)}[name]


def acquired(connection, name):
    connection.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], call, get,
                               None)


Gio.bus_own_name(Gio.BusType.SESSION, "org.kde.StatusNotifierWatcher", Gio.BusNameOwnerFlags.NONE, acquired, None,
                 lambda *args: sys.exit("the watcher's name is taken"))
GLib.MainLoop().run()
