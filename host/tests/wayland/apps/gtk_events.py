# A fullscreen GTK 3 window for the Wayland tests, run with
# GDK_BACKEND=wayland: it paints known colours and appends one JSON line per
# event GTK hands it to argv[1], flushed at once.
#
# Picture (window coordinates, logical points): white everywhere, a red
# 200x100 block at (100, 100), a blue 100x100 block at (400, 100), a text
# entry at the bottom left that holds the keyboard focus.
#
# Lines: {"event": "ready", "pid", "width", "height", "scale"} once the window
# is mapped, active, fullscreen and drawn; "button_press"/"button_release" (button, x, y);
# "scroll" (direction, dx, dy: "smooth" with the deltas, x growing rightwards,
# y downwards); "focus_in" when the keyboard focus arrives;
# "key_press"/"key_release" (keyval, name, keycode, state); "text" (the entry's text after every change).
import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

RED = (100, 100, 200, 100)
BLUE = (400, 100, 100, 100)

out = open(sys.argv[1], "a", encoding="utf-8")


def emit(**fields):
    out.write(json.dumps(fields, ensure_ascii=False) + "\n")
    out.flush()


# Colours by CSS rather than cairo drawing: no cairo bindings needed.
css = Gtk.CssProvider()
css.load_from_data(b"""
window, #area { background-color: #ffffff; }
#red { background-color: #ff0000; }
#blue { background-color: #0000ff; }
""")
Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)

window = Gtk.Window(title="gtk events")
overlay = Gtk.Overlay()
area = Gtk.EventBox()
area.set_name("area")
area.add_events(Gdk.EventMask.BUTTON_PRESS_MASK | Gdk.EventMask.BUTTON_RELEASE_MASK | Gdk.EventMask.SCROLL_MASK
                | Gdk.EventMask.SMOOTH_SCROLL_MASK | Gdk.EventMask.POINTER_MOTION_MASK)
fixed = Gtk.Fixed()
for name, (x, y, w, h) in (("red", RED), ("blue", BLUE)):
    block = Gtk.Box()
    block.set_name(name)
    block.set_size_request(w, h)
    fixed.put(block, x, y)
area.add(fixed)
entry = Gtk.Entry()
entry.set_halign(Gtk.Align.START)
entry.set_valign(Gtk.Align.END)
entry.set_margin_start(20)
entry.set_margin_bottom(20)
entry.set_width_chars(60)
overlay.add(area)
overlay.add_overlay(entry)
window.add(overlay)

state = {"mapped": False, "focused": False, "fullscreen": False, "drawn": False, "ready": False}


def check_ready():
    if state["ready"] or not all(state[k] for k in ("mapped", "focused", "fullscreen", "drawn")):
        return
    state["ready"] = True
    alloc = window.get_allocation()
    emit(event="ready", pid=os.getpid(), width=alloc.width, height=alloc.height, scale=window.get_scale_factor())


# A frame painted once the window is fullscreen, then a little time for the
# compositor to show it.
def on_painted(clock):
    gdk_window = window.get_window()
    monitor = Gdk.Display.get_default().get_monitor_at_window(gdk_window).get_geometry()
    alloc = window.get_allocation()
    covers = (alloc.width, alloc.height) == (monitor.width, monitor.height)
    if state["fullscreen"] and covers and not state["drawn"]:
        state["drawn"] = True
        GLib.timeout_add(100, lambda: (check_ready(), False)[1])


def on_button(widget, event):
    kind = "button_press" if event.type == Gdk.EventType.BUTTON_PRESS else "button_release"
    if event.type in (Gdk.EventType.BUTTON_PRESS, Gdk.EventType.BUTTON_RELEASE):
        emit(event=kind, button=event.button, x=event.x, y=event.y)
    return False


def on_motion(widget, event):
    emit(event="motion", x=event.x, y=event.y, time=event.time)
    return False


def on_scroll(widget, event):
    ok, dx, dy = event.get_scroll_deltas()
    emit(event="scroll", direction=event.direction.value_nick, dx=dx if ok else 0, dy=dy if ok else 0,
         x=event.x, y=event.y)
    return False


def on_key(widget, event):
    kind = "key_press" if event.type == Gdk.EventType.KEY_PRESS else "key_release"
    emit(event=kind, keyval=event.keyval, name=Gdk.keyval_name(event.keyval), keycode=event.hardware_keycode,
         state=int(event.state))
    return False


def on_map(widget, event):
    state["mapped"] = True
    check_ready()
    return False


# The compositor's activation counts as focus: a seat without a keyboard
# (until a virtual keyboard is made) sends no keyboard focus.
def on_window_state(widget, event):
    state["focused"] = state["focused"] or bool(event.new_window_state & Gdk.WindowState.FOCUSED)
    state["fullscreen"] = state["fullscreen"] or bool(event.new_window_state & Gdk.WindowState.FULLSCREEN)
    check_ready()
    return False


def on_focus(widget, event):
    emit(event="focus_in")
    entry.grab_focus()
    return False


window.connect("realize", lambda w: w.get_frame_clock().connect("after-paint", on_painted))
area.connect("button-press-event", on_button)
area.connect("button-release-event", on_button)
area.connect("scroll-event", on_scroll)
area.connect("motion-notify-event", on_motion)
window.connect("key-press-event", on_key)
window.connect("key-release-event", on_key)
window.connect("map-event", on_map)
window.connect("focus-in-event", on_focus)
window.connect("window-state-event", on_window_state)
entry.connect("changed", lambda e: emit(event="text", text=e.get_text()))
window.connect("destroy", Gtk.main_quit)
window.fullscreen()
window.show_all()
entry.grab_focus()
Gtk.main()
