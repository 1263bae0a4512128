#!/usr/bin/python3
"""Asks an X window to close as its title-bar button would (WM_DELETE_WINDOW),
for trying the simulator under Xvfb, where there is no window manager.

  tools/close-window.py "Vantis Simulator Rev 3"
"""
import sys
from Xlib import X, display, protocol

def find(win, title):
    try:
        if win.get_wm_name() == title:
            return win
    except Exception:
        pass
    for child in win.query_tree().children:
        found = find(child, title)
        if found:
            return found
    return None

d = display.Display()
w = find(d.screen().root, sys.argv[1] if len(sys.argv) > 1 else "Vantis Simulator Rev 3")
if not w:
    sys.exit("no such window")
ev = protocol.event.ClientMessage(window=w, client_type=d.intern_atom("WM_PROTOCOLS"),
                                  data=(32, [d.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
w.send_event(ev, event_mask=X.NoEventMask)
d.flush()
