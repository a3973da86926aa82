# A Secret Service that owns its name on the session bus and never answers a call: what a hung
# keyring looks like to its clients.

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
bus.request_name("org.freedesktop.secrets", dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
bus.add_message_filter(lambda connection, message: dbus.lowlevel.HANDLER_RESULT_HANDLED)
print("ready", flush=True)
GLib.MainLoop().run()
