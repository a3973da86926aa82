# Locks the default collection of the keyring on the session bus through the Secret Service
# API, or unlocks it with the password read from stdin (GNOME Keyring's interface for that: the
# standard Unlock asks the user through a prompt).
#   keyring.py lock | unlock

import sys

import dbus

bus = dbus.SessionBus()
root = bus.get_object("org.freedesktop.secrets", "/org/freedesktop/secrets")
service = dbus.Interface(root, "org.freedesktop.Secret.Service")
collection = service.ReadAlias("default")
if sys.argv[1] == "lock":
    locked, prompt = service.Lock([collection])
    sys.exit(0 if collection in locked and prompt == "/" else "the collection was not locked")
_, session = service.OpenSession("plain", dbus.String("", variant_level=1))
secret = dbus.Struct((session, dbus.ByteArray(b""), dbus.ByteArray(sys.stdin.buffer.read()),
                      "text/plain"))
dbus.Interface(root, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface") \
    .UnlockWithMasterPassword(collection, secret)
