# A GTK 3 text entry that writes its text to argv[1] on every change and its
# X window id to argv[2] once shown.
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import GdkX11, Gtk  # noqa: E402,F401

out_path, id_path = sys.argv[1], sys.argv[2]
window = Gtk.Window(title="gtk entry")
entry = Gtk.Entry()
window.add(entry)
window.set_default_size(600, 60)
entry.connect("changed", lambda e: open(out_path, "w", encoding="utf-8").write(e.get_text()))
window.connect("destroy", Gtk.main_quit)
window.show_all()
with open(id_path + ".new", "w") as f:
    f.write(str(window.get_window().get_xid()))
os.rename(id_path + ".new", id_path)
Gtk.main()
