#!/usr/bin/env python3
# A window for the GNOME back-end tests: fullscreen on the monitor of the size given,
# a solid colour with an entry at the top. Prints "ready", each click as
# "click X Y" (window pixels) and the entry's text as "text ..." on every change.
import sys
import gi
gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gtk, Gdk, GLib

width, height = int(sys.argv[1]), int(sys.argv[2])

def say(line):
    print(line, flush=True)

win = Gtk.Window(title="tarvello-probe")
css = Gtk.CssProvider()
css.load_from_data(b"window { background: #ff00ff; }")
Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css,
                                         Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
box = Gtk.EventBox()
box.set_visible_window(False)
layout = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
entry = Gtk.Entry()
layout.pack_start(entry, False, False, 0)
box.add(layout)
win.add(box)
win.add_events(Gdk.EventMask.BUTTON_PRESS_MASK)
win.connect("button-press-event", lambda w, e: say("click %d %d" % (e.x, e.y)) or False)
entry.connect("changed", lambda e: say("text " + e.get_text()))
win.connect("destroy", Gtk.main_quit)

def place():
    display = Gdk.Display.get_default()
    for i in range(display.get_n_monitors()):
        g = display.get_monitor(i).get_geometry()
        if g.width == width and g.height == height:
            win.fullscreen_on_monitor(win.get_screen(), i)
            win.show_all()
            entry.grab_focus()
            GLib.timeout_add(500, lambda: say("ready") or False)
            return False
    return True

GLib.timeout_add(100, place)
Gtk.main()
