# Locks the default collection of the keyring on the session bus through the Secret Service
# API, or unlocks it with the password read from stdin (GNOME Keyring's interface for that: the
# standard Unlock asks the user through a prompt); or waits until the keyring daemon owns its
# name on the bus, which it takes a moment after gnome-keyring-daemon --unlock has returned.
#   keyring.py lock | unlock | wait

import sys
import time

import dbus

bus = dbus.SessionBus()
if sys.argv[1] == "wait":
    deadline = time.monotonic() + 20
    while not bus.name_has_owner("org.freedesktop.secrets"):
        if time.monotonic() > deadline:
            sys.exit("the keyring daemon did not appear on the bus")
        time.sleep(0.05)
    sys.exit(0)
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
